// The headless service program as a separate process, with no display and no
// Qt platform set: it answers --help and --version, serves the protocol and
// runs a job with the stand-in engine, keeps its settings in the --config
// file alone, and ends cleanly on SIGTERM. Under a stand-in for systemd's
// notify socket it reports READY once it listens, its status and STOPPING;
// with the journal as standard error its lines carry priorities; a port it
// cannot take ends it with status 1.
#include "TestProcesses.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
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
#ifdef Q_OS_UNIX
        if (notifyFd >= 0)
            ::close(notifyFd);
        notifyFd = -1;
#endif
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

#ifdef Q_OS_UNIX
    // systemd's side of Type=notify: a datagram socket named by
    // NOTIFY_SOCKET. READY comes only once the port takes connections, with
    // the status line; SIGTERM brings STOPPING. Standard error is the
    // journal here: priority prefixes, no time stamps, no source places.
    void notifiesReadinessStatusAndStop()
    {
#ifndef ZENDRAL_HAVE_LIBSYSTEMD
        QSKIP("built without libsystemd: zendrald sends no notifications");
#endif
        const QString socketPath = root->filePath(QStringLiteral("notify"));
        QVERIFY(OpenNotifySocket(socketPath));
        QProcessEnvironment env = headless();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
        env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
        service.reset(new QProcess);
        service->setProcessEnvironment(env);
        service->start(program, {QStringLiteral("--config"), config});
        QVERIFY(service->waitForStarted(10000));

        const QByteArray ready = ReceiveUntil("READY=1");
        QVERIFY2(ready.contains("READY=1"), ready.constData());
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY2(probe.waitForConnected(5000), "READY came before the port took connections");
        QVERIFY2(ready.contains(QStringLiteral("STATUS=listening on 0.0.0.0:%1, 0 waiting, 0 running")
                                    .arg(port).toUtf8()),
                 ready.constData());

        QCOMPARE(::kill(static_cast<pid_t>(service->processId()), SIGTERM), 0);
        const QByteArray stopping = ReceiveUntil("STOPPING=1");
        QVERIFY2(stopping.contains("STOPPING=1"), stopping.constData());
        QVERIFY(service->waitForFinished(20000));
        QCOMPARE(service->exitCode(), 0);

        const QStringList lines = QString::fromLocal8Bit(service->readAllStandardError())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(lines.size() > 2);
        for (const QString &line : lines) {
            QVERIFY2(QRegularExpression(QStringLiteral("^<[2-7]>(Info|Warning|Critical|Fatal|Debug): ")).match(line).hasMatch(),
                     qPrintable(line));
            QVERIFY2(!line.contains(QLatin1String(".cpp:")), qPrintable(line));
        }
        QVERIFY(lines.contains(QStringLiteral("<6>Info: Listening on 0.0.0.0:%1").arg(port)));
        // A start and a normal stop warn of nothing.
        QVERIFY2(lines.filter(QRegularExpression(QStringLiteral("^<[2-4]>"))).isEmpty(), qPrintable(lines.join('\n')));
    }

    // The port is taken: zendrald gives up after its tries (about 10 s) and
    // exits with status 1 and the reason, instead of retrying for ever.
    void exitsWhenThePortIsTaken()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress(QStringLiteral("127.0.0.1")), port));
        service.reset(new QProcess);
        service->setProcessEnvironment(headless());
        service->start(program, {QStringLiteral("--config"), config});
        QVERIFY(service->waitForStarted(10000));
        QVERIFY(service->waitForFinished(40000));
        const QString errors = QString::fromLocal8Bit(service->readAllStandardError());
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 1);
        QCOMPARE(errors.count(QStringLiteral("Warning: Cannot listen on port %1").arg(port)), 3);
        QVERIFY2(errors.contains(QStringLiteral("Critical: Giving up after 3 failed starts: Cannot listen on port %1")
                                     .arg(port)),
                 qPrintable(errors));
    }
#endif

private:
#ifdef Q_OS_UNIX
    bool OpenNotifySocket(const QString &path)
    {
        notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (notifyFd < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return false;
        qstrcpy(address.sun_path, name.constData());
        return ::bind(notifyFd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    // The datagrams received until one holds `wanted` (at most 20 s).
    QByteArray ReceiveUntil(const QByteArray &wanted)
    {
        QByteArray all;
        QElapsedTimer timer;
        timer.start();
        for (int attempt = 0; attempt < 400 && !timer.hasExpired(20000) && !all.contains(wanted); ++attempt) {
            pollfd ready{notifyFd, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1)
                continue;
            char buffer[4096];
            const ssize_t size = ::recv(notifyFd, buffer, sizeof buffer, 0);
            if (size > 0)
                all += QByteArray(buffer, int(size)) + "\n--\n";
        }
        return all;
    }

    int notifyFd = -1;
#endif

    // No display, no Qt platform: the program must need neither.
    QProcessEnvironment headless() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "NOTIFY_SOCKET", "JOURNAL_STREAM"})
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
