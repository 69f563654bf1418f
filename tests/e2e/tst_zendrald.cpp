// The headless service program as a separate process, with no display and no
// Qt platform set: it answers --help and --version, serves the protocol and
// runs a job with the stand-in engine, keeps its settings in the --config
// file alone, and ends cleanly on SIGTERM.
#include "TestProcesses.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#endif

using TestProcesses::copyService;
using TestProcesses::freePort;

class TestZendrald : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        program = copyService(root->path(), QStringLiteral(ZENDRALD_PATH));
        QVERIFY(!program.isEmpty());
        port = freePort();
        QVERIFY(port != 0);
        config = root->filePath(QStringLiteral("zendrald.conf"));
        QSettings settings(config, QSettings::IniFormat);
        settings.setValue(QStringLiteral("worker/port"), port);
        settings.setValue(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        settings.setValue(QStringLiteral("config/pick_job_interval"), 1);
    }

    void cleanup()
    {
        if (service) {
            service->kill();
            service->waitForFinished(10000);
            service.reset();
        }
        root.reset();
    }

    void helpAndVersion()
    {
        for (const QString &option : {QStringLiteral("--help"), QStringLiteral("--version")}) {
            QProcess run;
            run.setProcessEnvironment(headless());
            run.start(program, {option});
            QVERIFY(run.waitForFinished(20000));
            QCOMPARE(run.exitCode(), 0);
            const QString out = QString::fromLocal8Bit(run.readAllStandardOutput());
            QVERIFY2(option == QLatin1String("--help") ? out.contains("--config <file>")
                                                       : out.contains(QStringLiteral(ZENDRAL_VERSION)),
                     qPrintable(out));
        }
    }

#ifdef Q_OS_UNIX
    // A job goes through the whole service: added, run by the engine and
    // picked up, with no display; the settings written at start and at the
    // end land in the --config file and nowhere else.
    void servesAndRunsWithoutDisplay()
    {
        service.reset(new QProcess);
        service->setProcessEnvironment(headless());
        service->start(program, {QStringLiteral("--config"), config});
        QVERIFY(service->waitForStarted(10000));
        QVERIFY2(waitForError(QStringLiteral("Listening on 0.0.0.0:%1").arg(port)), qPrintable(errors));

        QFile document(root->filePath(QStringLiteral("order.aex")));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.write("<?xml version=\"1.0\"?><MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>");
        document.close();
        QProcess client;
        client.start(QStringLiteral(ZENDRAL_CLIENT_PATH),
                     {"--port", QString::number(port), "add", document.fileName(), "--time", "2", "--wait", "-o",
                      root->filePath(QStringLiteral("result.xml"))});
        QVERIFY(client.waitForFinished(60000));
        QVERIFY2(client.exitCode() == 0, client.readAllStandardError().constData());
        QVERIFY(QFileInfo(root->filePath(QStringLiteral("result.xml"))).size() > 0);

        QCOMPARE(::kill(static_cast<pid_t>(service->processId()), SIGTERM), 0);
        QVERIFY(service->waitForFinished(20000));
        errors += QString::fromLocal8Bit(service->readAllStandardError());
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 0);
        QVERIFY2(errors.contains("Queue saved"), qPrintable(errors));

        QSettings written(config, QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("worker/port")).toInt(), int(port));
        QVERIFY(written.contains(QStringLiteral("worker/max_failed_runs"))); // a default written at start
        QVERIFY(written.contains(QStringLiteral("worker/next_update_seconds"))); // written back at the end
        QVERIFY(!QFileInfo::exists(root->filePath(QStringLiteral("config/Orvane/Zendral.conf"))));
    }
#endif

private:
    // No display, no Qt platform: the program must need neither.
    QProcessEnvironment headless() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), root->filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), root->filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("ZENDRAL_PROBE_HOST"), QStringLiteral("127.0.0.1"));
        return env;
    }

    bool waitForError(const QString &text)
    {
        return TestProcesses::waitForStandardError(*service, errors, text);
    }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> service;
    QString program;
    QString config;
    QString errors;
    quint16 port = 0;
};

QTEST_GUILESS_MAIN(TestZendrald)
#include "tst_zendrald.moc"
