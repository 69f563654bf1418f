#pragma once

// One Zendral node of a test cluster: the built service program started
// with "-a" on Qt's offscreen platform, with folders of its own inside the
// test's temporary folder, any free port (it says which on its standard
// error), the stand-in engine and the shared queue's settings.

#include "TestProcesses.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#endif

class ClusterNode
{
public:
    ClusterNode(const QString &name, const QString &root, const QString &connection, int engineSlots)
        : name(name)
        , root(QDir(root).filePath(name))
        , connection(connection)
        , engineSlots(engineSlots)
    {
    }
    ~ClusterNode() { Kill(); }

    QString Name() const { return name; }
    quint16 Port() const { return port; }
    QString RunLog() const { return QDir(root).filePath(QStringLiteral("runs.log")); }
    QString ServiceLog() const { return QDir(root).filePath(QStringLiteral("service.log")); }
    // The node's operator channel (each node has its own).
    QString AdminSocket() const { return QDir(root).filePath(QStringLiteral("admin")); }
    qint64 Pid() const { return process ? process->processId() : 0; }
    QString Root() const { return root; }
    // An environment variable for the next Start (after the defaults).
    void SetEnvironment(const QString &key, const QString &value) { extraEnvironment.insert(key, value); }

    // Starts the node and waits until it accepts connections.
    bool Start()
    {
        QDir folder(root);
        const QString program = TestProcesses::copyService(root, QStringLiteral(ZENDRAL_PATH));
        for (const char *sub : {"data", "home", "tmp"})
            folder.mkpath(QLatin1String(sub));
        if (program.isEmpty())
            return false;
        QFile conf(folder.filePath(QStringLiteral("config/Orvane/Zendral.conf")));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        conf.write(QStringLiteral("maxWorkerCount=%1\n\n[config]\npick_job_interval=1\n\n[worker]\nengine=%2\n"
                                  "retry_delay_seconds=0\nmax_failed_runs=5\n\n[store]\nbackend=postgresql\n"
                                  "connection=%3\nlease_seconds=3\nnode=%4\n\n[admin]\nsocket=%5\n")
                       .arg(engineSlots)
                       .arg(QStringLiteral(ZENDRAL_STUB_ENGINE_PATH))
                       .arg(connection, name, AdminSocket())
                       .toUtf8());
        conf.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), folder.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), folder.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("TMPDIR"), folder.filePath(QStringLiteral("tmp")));
        env.insert(QStringLiteral("ZENDRAL_PROBE_HOST"), QStringLiteral("127.0.0.1"));
        env.insert(QStringLiteral("ZENDRAL_TEST_ANY_PORT"), QStringLiteral("1"));
        env.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("300"));
        env.insert(QStringLiteral("ZENDRAL_STUB_RUN_LOG"), RunLog());
        for (auto it = extraEnvironment.cbegin(); it != extraEnvironment.cend(); ++it)
            env.insert(it.key(), it.value());
        port = 0;
        const qint64 logFrom = QFileInfo(ServiceLog()).size();
        process.reset(new QProcess);
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(root);
        process->setStandardOutputFile(ServiceLog(), QIODevice::Append);
        process->setStandardErrorFile(ServiceLog(), QIODevice::Append);
        process->start(program, {QStringLiteral("-a")});
        if (!process->waitForStarted(10000))
            return false;
        static const QRegularExpression listening(QStringLiteral("Listening on 0\\.0\\.0\\.0:(\\d+)"));
        TestProcesses::pollUntil([&] {
            QFile log(ServiceLog());
            if (!log.open(QIODevice::ReadOnly) || !log.seek(logFrom))
                return false;
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(log.readAll()));
            port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
            return port != 0 || process->state() != QProcess::Running;
        }, 60000);
        return port != 0;
    }

    // SIGSTOP and SIGCONT: a node that hangs for a while (its engines go on).
    void Pause(bool paused)
    {
#ifdef Q_OS_UNIX
        if (process)
            ::kill(pid_t(process->processId()), paused ? SIGSTOP : SIGCONT);
#else
        Q_UNUSED(paused)
#endif
    }

    // Whether the process is stopped (SIGSTOP, by itself or by Pause); Linux
    // only (/proc), false elsewhere.
    bool IsStopped() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(Pid()));
        if (!process || !stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        const int end = line.lastIndexOf(')');
        return end > 0 && line.mid(end + 2, 1) == "T";
    }

    // SIGTERM: the service stops cleanly; false when it did not end.
    bool Terminate()
    {
        if (!process)
            return true;
        process->terminate();
        const bool ended = process->waitForFinished(30000);
        process.reset();
        return ended;
    }

    // SIGKILL, as a machine that dies; its engines die with it.
    void Kill()
    {
        if (!process)
            return;
        process->kill();
        process->waitForFinished(10000);
        process.reset();
    }

private:
    QString name;
    QString root;
    QString connection;
    int engineSlots;
    quint16 port = 0;
    QHash<QString, QString> extraEnvironment;
    std::unique_ptr<QProcess> process;
};
