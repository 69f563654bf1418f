#include "FlushCounter.h"

#include "BenchFailure.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int AckWaitMs = 10000;
const char *const Syscalls[] = {"fsync", "fdatasync", "sync_file_range", "syncfs", "sync", "msync"};
} // namespace

FlushCounter::FlushCounter(const QString &folder)
    : folder(folder)
{
}

FlushCounter::~FlushCounter()
{
#ifdef Q_OS_LINUX
    if (controlFd >= 0)
        ::close(controlFd);
    if (ackFd >= 0)
        ::close(ackFd);
#endif
}

QString FlushCounter::Program(QString *why)
{
#ifdef Q_OS_LINUX
    const QString perf = QStandardPaths::findExecutable(QStringLiteral("perf"));
    if (perf.isEmpty())
        *why = QStringLiteral("perf is not installed (Debian package linux-perf)");
    else if (!QFileInfo::exists(QStringLiteral("/sys/kernel/tracing/events/syscalls"))
             && !QFileInfo::exists(QStringLiteral("/sys/kernel/debug/tracing/events/syscalls")))
        *why = QStringLiteral("the kernel's system-call tracepoints are not available");
    else
        return perf;
#else
    *why = QStringLiteral("flushes are counted on Linux only");
#endif
    return QString();
}

QStringList FlushCounter::WrapperCommand()
{
    QString why;
    const QString perf = Program(&why);
    if (perf.isEmpty())
        throw BenchFailure{why};
#ifdef Q_OS_LINUX
    const QByteArray control = QFile::encodeName(QDir(folder).filePath(QStringLiteral("perf-control")));
    const QByteArray ack = QFile::encodeName(QDir(folder).filePath(QStringLiteral("perf-ack")));
    if (::mkfifo(control.constData(), 0600) != 0 || ::mkfifo(ack.constData(), 0600) != 0)
        throw BenchFailure{QStringLiteral("cannot make the perf control FIFOs in %1").arg(folder)};
    // Opened read-write, a FIFO never blocks its opener, whichever side
    // perf opens first.
    controlFd = ::open(control.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ackFd = ::open(ack.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (controlFd < 0 || ackFd < 0)
        throw BenchFailure{QStringLiteral("cannot open the perf control FIFOs in %1").arg(folder)};
    QStringList events;
    for (const char *call : Syscalls)
        events << QStringLiteral("syscalls:sys_enter_%1").arg(QLatin1String(call));
    return {perf,
            QStringLiteral("stat"),
            QStringLiteral("--delay=-1"), // counting starts with Enable
            QStringLiteral("--control=fifo:%1,%2").arg(QFile::decodeName(control), QFile::decodeName(ack)),
            QStringLiteral("-x,"),
            QStringLiteral("-o"),
            QDir(folder).filePath(QStringLiteral("perf-counts.csv")),
            QStringLiteral("-e"),
            events.join(QLatin1Char(',')),
            QStringLiteral("--")};
#else
    return {};
#endif
}

void FlushCounter::Enable()
{
    Command("enable\n");
}

void FlushCounter::Disable()
{
    Command("disable\n");
}

void FlushCounter::Command(const char *command)
{
#ifdef Q_OS_LINUX
    const size_t length = strlen(command);
    if (controlFd < 0 || ::write(controlFd, command, length) != ssize_t(length))
        throw BenchFailure{QStringLiteral("cannot send '%1' to perf").arg(QString::fromLatin1(command).trimmed())};
    QElapsedTimer clock;
    clock.start();
    QByteArray answer;
    while (!answer.contains('\n')) {
        const qint64 left = AckWaitMs - clock.elapsed();
        if (left <= 0)
            throw BenchFailure{QStringLiteral("perf did not acknowledge '%1'").arg(QString::fromLatin1(command).trimmed())};
        pollfd wait{ackFd, POLLIN, 0};
        if (::poll(&wait, 1, int(left)) <= 0)
            continue;
        char bytes[64];
        const ssize_t got = ::read(ackFd, bytes, sizeof bytes);
        if (got > 0)
            answer.append(bytes, int(got));
    }
#else
    Q_UNUSED(command)
#endif
}

QMap<QString, qint64> FlushCounter::Read() const
{
    QFile file(QDir(folder).filePath(QStringLiteral("perf-counts.csv")));
    if (!file.open(QIODevice::ReadOnly))
        throw BenchFailure{QStringLiteral("perf wrote no counts")};
    // CSV lines "count,unit,event,run time,percent,,"; "<not counted>"
    // when the event never ran (no such call at all).
    QMap<QString, qint64> counts;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() < 3 || !fields.at(2).startsWith("syscalls:sys_enter_"))
            continue;
        counts.insert(QString::fromLatin1(fields.at(2).mid(19)), fields.at(0).toLongLong());
    }
    if (counts.isEmpty())
        throw BenchFailure{QStringLiteral("perf wrote no counts")};
    return counts;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
