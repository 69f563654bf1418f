#include "ProcessStats.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// The fields of /proc/PID/stat after the command name, which is in
// parentheses and may itself hold spaces; field 3 (state) comes first.
QList<QByteArray> StatFields(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    return text.mid(close + 2).split(' ');
}

// The "se.sum_exec_runtime" line of a task's /proc/.../sched (in
// milliseconds, to the nanosecond), in seconds; -1 when the kernel does not
// show it.
double ScheduledSeconds(const QString &taskFolder)
{
    QFile file(taskFolder + QStringLiteral("/sched"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("se.sum_exec_runtime"))
            continue;
        bool ok = false;
        const double ms = line.mid(line.indexOf(':') + 1).trimmed().toDouble(&ok);
        return ok ? ms / 1000.0 : -1;
    }
    return -1;
}
} // namespace

double ProcessStats::CpuSeconds(qint64 pid)
{
#ifdef Q_OS_LINUX
    // Fields 14 (utime) and 15 (stime), in clock ticks; the thread group
    // leader's line counts all threads, also those that have ended.
    const QList<QByteArray> fields = StatFields(pid);
    if (fields.size() < 13)
        return -1;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
#else
    Q_UNUSED(pid)
    return -1;
#endif
}

QMap<QString, double> ProcessStats::ThreadCpuSeconds(qint64 pid)
{
    QMap<QString, double> byRole;
#ifdef Q_OS_LINUX
    const double ticks = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!file.open(QIODevice::ReadOnly))
            continue; // ended meanwhile
        const QByteArray text = file.readAll();
        const int open = text.indexOf('(');
        const int close = text.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QByteArray name = text.mid(open + 1, close - open - 1);
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        const double scheduled = ScheduledSeconds(tasks.filePath(tid));
        QString role = QStringLiteral("other");
        if (tid.toLongLong() == pid)
            role = QStringLiteral("core");
        else if (name.startsWith("session"))
            role = QStringLiteral("sessions");
        else if (name.startsWith("store-"))
            role = QStringLiteral("store writer");
        byRole[role] += scheduled >= 0 ? scheduled : (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
    }
#else
    Q_UNUSED(pid)
#endif
    return byRole;
}

qint64 ProcessStats::MemoryBytes(qint64 pid, const char *key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix)) // "VmHWM:	  123456 kB"
            return line.mid(prefix.size()).simplified().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

bool ProcessStats::ResetPeak(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.write("5") == 1; // 5: reset the peak resident size
}

QList<qint64> ProcessStats::Children(qint64 pid)
{
    QList<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 candidate = entry.toLongLong(&ok);
        if (!ok)
            continue;
        const QList<QByteArray> fields = StatFields(candidate);
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid) // field 4: parent
            children << candidate;
    }
    return children;
}

qint64 ProcessStats::Parent(qint64 pid)
{
    const QList<QByteArray> fields = StatFields(pid);
    return fields.size() > 1 ? fields.at(1).toLongLong() : -1;
}

bool ProcessStats::KillHard(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
#else
    Q_UNUSED(pid)
    return false;
#endif
}

bool ProcessStats::Terminate(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && ::kill(pid_t(pid), SIGTERM) == 0;
#else
    Q_UNUSED(pid)
    return false;
#endif
}

bool ProcessStats::IsAlive(qint64 pid)
{
    const QList<QByteArray> fields = StatFields(pid);
    return !fields.isEmpty() && fields.at(0) != "Z" && fields.at(0) != "X";
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
