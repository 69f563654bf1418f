#pragma once

// Helpers of the tests that start services and look at their processes:
// a free port on the loopback address, a service's folder, a process's
// children, whether a process still runs.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QProcess>
#include <QStringList>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

namespace TestProcesses {

// A port that was free a moment ago on 127.0.0.1 (0 when none was found).
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
        return 0;
    return probe.serverPort();
}

// The fields of /proc/<pid>/stat after the command name (Linux).
inline QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

// Ids of the processes whose parent is `pid` (the engines a service runs).
inline QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
#ifdef Q_OS_LINUX
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 child = entry.toLongLong(&ok);
        if (!ok)
            continue;
        const QList<QByteArray> fields = statFields(child);
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid)
            children << child;
    }
#else
    Q_UNUSED(pid)
#endif
    return children;
}

// Whether a process runs (a zombie, ended and not yet reaped, does not).
inline bool isAlive(qint64 pid)
{
#ifdef Q_OS_LINUX
    const QList<QByteArray> fields = statFields(pid);
    return !fields.isEmpty() && fields.first() != "Z";
#else
    Q_UNUSED(pid)
    return false;
#endif
}

// Prepares `root` for a service that runs from a copy of `builtProgram`, so
// that its logs folder (beside the program) stays inside the test's folder:
// makes root/bin and root/config/Orvane (the settings folder under
// XDG_CONFIG_HOME=root/config) and copies the program once, under its own
// file name (with its platform suffix). Returns the copy's path, empty on
// failure.
inline QString copyService(const QString &root, const QString &builtProgram)
{
    const QDir folder(root);
    if (!folder.mkpath(QStringLiteral("bin")) || !folder.mkpath(QStringLiteral("config/Orvane")))
        return QString();
    const QString program = folder.filePath(QStringLiteral("bin/") + QFileInfo(builtProgram).fileName());
    if (!QFile::exists(program) && !QFile::copy(builtProgram, program))
        return QString();
    return program;
}

// Polls a condition every 100 ms, running the event loop between, for at
// most `timeoutMs`; true as soon as it holds.
template <typename F>
bool pollUntil(F &&condition, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    for (int attempt = 0; attempt <= timeoutMs / 100 && !timer.hasExpired(timeoutMs); ++attempt) {
        if (condition())
            return true;
        QTest::qWait(100);
    }
    return false;
}

// Reads the process's standard error into `seen` until it holds `text`, for
// at most 20 s; returns as soon as the text has come (no polling delay, so a
// test may stop the process while its start-up is still under way).
inline bool waitForStandardError(QProcess &process, QString &seen, const QString &text)
{
    QElapsedTimer timer;
    timer.start();
    for (int attempt = 0; attempt < 400 && !timer.hasExpired(20000); ++attempt) {
        seen += QString::fromLocal8Bit(process.readAllStandardError());
        if (seen.contains(text))
            return true;
        process.waitForReadyRead(50);
    }
    return false;
}

// The environment of a headless service a test starts in `root`: its own
// settings and data folders, no display, no systemd sockets, the address
// probe kept on this machine; `extra` added last.
inline QProcessEnvironment serviceEnvironment(const QDir &root, const QMap<QString, QString> &extra = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "NOTIFY_SOCKET", "JOURNAL_STREAM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("ZENDRAL_PROBE_HOST"), QStringLiteral("127.0.0.1"));
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

} // namespace TestProcesses
