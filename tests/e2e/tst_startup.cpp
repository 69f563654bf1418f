// Start-up and end of the built service program as a separate process:
// "--help" and "--version" without any display, the listening and
// cannot-listen lines on standard error, and a clean end on SIGTERM that
// stops the running engine.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include "TestProcesses.h"

#include <QtTest>

#include <memory>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#include <signal.h>
#endif

using TestProcesses::childrenOf;
using TestProcesses::copyService;
using TestProcesses::freePort;

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        program = copyService(root->path(), QStringLiteral(ZENDRAL_PATH));
        QVERIFY(!program.isEmpty());
        port = freePort();
        QVERIFY(port != 0);
        QFile conf(root->filePath("config/Orvane/Zendral.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[config]\npick_job_interval=1\n\n[worker]\nengine=" ZENDRAL_STUB_ENGINE_PATH
                   "\nport=" + QByteArray::number(port) + "\n");
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

    // Without QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY the widget
    // application could not be built; these answer before it is.
    void helpAndVersionWithoutDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(name);
        for (const QString &option : {QStringLiteral("--help"), QStringLiteral("--version")}) {
            QProcess run;
            run.setProcessEnvironment(env);
            run.start(program, {option});
            QVERIFY(run.waitForFinished(20000));
            QCOMPARE(run.exitStatus(), QProcess::NormalExit);
            QCOMPARE(run.exitCode(), 0);
            const QString out = QString::fromLocal8Bit(run.readAllStandardOutput());
            if (option == QLatin1String("--help"))
                QVERIFY2(out.startsWith("Usage: " + QFileInfo(program).fileName() + " [-a] [--help] [--version]\n")
                         && out.contains("  -a "),
                         qPrintable(out));
            else
                QCOMPARE(out, QString("Zendral %1 (build %2)\n").arg(ZENDRAL_VERSION, ZENDRAL_BUILD_NUMBER));
        }
        QVERIFY(!QFileInfo::exists(root->filePath("bin/logs")));
    }

#ifdef Q_OS_UNIX
    // A taken port: the reason on standard error. The service keeps running
    // (the operator can change the port) until it is told to stop; a SIGTERM
    // that comes while start-up is still under way ends it too.
    void takenPortIsReported()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress(QStringLiteral("127.0.0.1")), port));
        startService({});
        QVERIFY2(waitForError(QString("Warning: Cannot listen on port %1: ").arg(port)), qPrintable(errors));
        QVERIFY(!errors.contains("Listening on"));
        QCOMPARE(::kill(static_cast<pid_t>(service->processId()), SIGTERM), 0);
        QVERIFY(service->waitForFinished(20000));
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 0);
    }

    void sigtermEndsCleanly()
    {
        startService({{"ZENDRAL_STUB_MODE", "hang"}});
        QVERIFY2(waitForError(QString("Info: Listening on 0.0.0.0:%1\n").arg(port)), qPrintable(errors));

        QFile document(root->filePath("order.aex"));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.write("<?xml version=\"1.0\"?><MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>");
        document.close();
        QProcess client;
        client.start(QStringLiteral(ZENDRAL_CLIENT_PATH),
                     {"--port", QString::number(port), "add", document.fileName(), "--time", "30"});
        QVERIFY(client.waitForFinished(20000));
        QCOMPARE(client.exitCode(), 0);
        QList<qint64> engines;
        QVERIFY(TestProcesses::pollUntil([&] { return !(engines = childrenOf(service->processId())).isEmpty(); }));

        QCOMPARE(::kill(static_cast<pid_t>(service->processId()), SIGTERM), 0);
        QVERIFY(service->waitForFinished(20000));
        errors += QString::fromLocal8Bit(service->readAllStandardError());
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 0);
        QVERIFY2(errors.contains("Info: Stopping on signal 15\n"), qPrintable(errors));
        // The window closed as usual: its engine was stopped, not orphaned.
        for (qint64 engine : engines)
            QVERIFY(TestProcesses::pollUntil([engine] { return ::kill(static_cast<pid_t>(engine), 0) != 0; }));
    }
#endif

private:
    void startService(const QList<QPair<QString, QString>> &extra)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", root->filePath("config"));
        env.insert("XDG_DATA_HOME", root->filePath("data"));
        env.insert("ZENDRAL_PROBE_HOST", "127.0.0.1");
        for (const auto &pair : extra)
            env.insert(pair.first, pair.second);
        service.reset(new QProcess);
        service->setProcessEnvironment(env);
        service->start(program, {"-a"});
        QVERIFY(service->waitForStarted(10000));
    }

    bool waitForError(const QString &text)
    {
        return TestProcesses::waitForStandardError(*service, errors, text);
    }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> service;
    QString program;
    QString errors;
    quint16 port = 0;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
