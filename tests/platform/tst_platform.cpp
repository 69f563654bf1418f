// The POSIX platform file: atomic replace, free disk space, flushing,
// process groups and start marks, native sockets.
#include "Platform.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Orvane::Zendral;

namespace {

std::string Native(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Gone or a zombie: the process no longer runs.
bool Ended(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

// Starts `/bin/sh -c script` the way EngineProcess does (the platform's
// set-up between fork and exec), telling it `parentPid` as its parent.
pid_t StartShell(const char *script, int64_t parentPid)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        Platform::SetUpChildBeforeExec(parentPid);
        ::execl("/bin/sh", "sh", "-c", script, static_cast<char *>(nullptr));
        ::_exit(126);
    }
    return pid;
}

} // namespace

class PlatformTest : public QObject
{
    Q_OBJECT
private slots:
    void atomicReplace();
    void freeDiskBytes();
    void flushing();
    void privateFolder();
    void groupKillReachesGrandchild();
    void groupOfNoPidIsIgnored();
    void childOfGoneParentExits();
    void startMark();
    void sockets();
    void timeZoneReadOnce();
};

// The target is the new file afterwards, or still the old one when the
// replacement cannot happen (no source, or a target in a missing folder).
void PlatformTest::atomicReplace()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("JOB_LIST.BAK"));
    const QString next = dir.filePath(QStringLiteral("JOB_LIST.BAK.new"));
    QVERIFY(WriteFile(target, "old"));
    QVERIFY(WriteFile(next, "new"));
    QVERIFY(Platform::AtomicReplace(Native(next), Native(target)));
    QCOMPARE(ReadFile(target), QByteArray("new"));
    QVERIFY(!QFile::exists(next));

    QVERIFY(!Platform::AtomicReplace(Native(next), Native(target)));
    QCOMPARE(ReadFile(target), QByteArray("new"));
    QVERIFY(WriteFile(next, "newer"));
    QVERIFY(!Platform::AtomicReplace(Native(next), Native(dir.filePath(QStringLiteral("missing/JOB_LIST.BAK")))));
    QCOMPARE(ReadFile(next), QByteArray("newer"));
}

void PlatformTest::freeDiskBytes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(Platform::FreeDiskBytes(Native(dir.path())) > 0);
    QCOMPARE(Platform::FreeDiskBytes(Native(dir.filePath(QStringLiteral("missing")))), int64_t(-1));
    QVERIFY(Platform::PhysicalMemoryBytes() > 0);
}

// Flushing reports failures: a closed descriptor (with the reason), a
// missing path, a file asked for as a folder.
void PlatformTest::flushing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("segment"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write("record") == 6 && file.flush());
    std::string error;
    QVERIFY(Platform::FlushFile(file.handle(), &error));
    QVERIFY(error.empty());
    const int closed = ::dup(file.handle());
    ::close(closed);
    QVERIFY(!Platform::FlushFile(closed, &error));
    QVERIFY(!error.empty());

    QVERIFY(Platform::FlushPath(Native(path), false));
    QVERIFY(Platform::FlushPath(Native(dir.path()), true));
    QVERIFY(!Platform::FlushPath(Native(path), true));
    QVERIFY(!Platform::FlushPath(Native(dir.filePath(QStringLiteral("missing"))), false));
    if (Platform::HasFileSystemSync()) {
        QVERIFY(Platform::SyncFileSystem(Native(dir.path())));
        QVERIFY(!Platform::SyncFileSystem(Native(dir.filePath(QStringLiteral("missing")))));
    }
}

void PlatformTest::privateFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    QVERIFY(Platform::MakeFolderPrivate(Native(folder)));
    struct stat info{};
    QVERIFY(::stat(QFile::encodeName(folder).constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 0777), 0700);
    QVERIFY(!Platform::MakeFolderPrivate(Native(dir.filePath(QStringLiteral("missing")))));
}

// A child set up by the platform leads a group of its own: ending it by
// force ends the process it started as well.
void PlatformTest::groupKillReachesGrandchild()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("grandchild"));
    const QByteArray script = "sleep 60 & echo $! > '" + QFile::encodeName(pidFile) + "'; wait";
    const pid_t child = StartShell(script.constData(), Platform::CurrentProcessId());
    QVERIFY(child > 0);
    qint64 grandchild = 0;
    QElapsedTimer timer;
    timer.start();
    while (grandchild <= 0 && timer.elapsed() < 10000) {
        grandchild = ReadFile(pidFile).trimmed().toLongLong();
        if (grandchild <= 0)
            QTest::qWait(20);
    }
    QVERIFY(grandchild > 0);
    QCOMPARE(qint64(::getpgid(child)), qint64(child));

    Platform::EndChildGroup(nullptr, child, true);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(Ended(grandchild), 10000);
}

// A pid of 0 or -1 is ignored: kill(0) would reach the caller's own group,
// kill(-1) every process it may signal. Asked in a child that leads a
// group of its own, so that a fault ends only that child.
void PlatformTest::groupOfNoPidIsIgnored()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        Platform::EndChildGroup(nullptr, 0, true);
        Platform::EndChildGroup(nullptr, 0, false);
        ::_exit(0);
    }
    QVERIFY(child > 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the child signalled its own group");
}

// A child whose parent (the service) is gone before it could ask for the
// parent-death signal does not run the engine.
void PlatformTest::childOfGoneParentExits()
{
    const pid_t child = StartShell("exit 0", Platform::CurrentProcessId() + 1000000);
    QVERIFY(child > 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 127);
}

// A start mark tells a running process, stays the same while it runs and
// is empty once it has ended (and for ids that name nothing).
void PlatformTest::startMark()
{
    const std::string own = Platform::ProcessStartMark(Platform::CurrentProcessId());
    QVERIFY(!own.empty());
    QCOMPARE(Platform::ProcessStartMark(Platform::CurrentProcessId()), own);
    QVERIFY(Platform::ProcessStartMark(0).empty());
    QVERIFY(Platform::ProcessStartMark(-1).empty());

    const pid_t child = StartShell("sleep 60", Platform::CurrentProcessId());
    QVERIFY(child > 0);
    // The test has run for many clock ticks before this child started.
    const std::string childMark = Platform::ProcessStartMark(child);
    QVERIFY(!childMark.empty());
    QVERIFY(childMark != own);
    Platform::KillProcess(child);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QVERIFY(Platform::ProcessStartMark(child).empty());
}

// The peer of an accepted connection, readiness of a socket, and closing a
// descriptor that no socket object owns.
void PlatformTest::sockets()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *accepted = server.nextPendingConnection();
    QVERIFY(accepted);
    const intptr_t native = intptr_t(accepted->socketDescriptor());
    QCOMPARE(QString::fromStdString(Platform::SocketPeerAddress(native)), QStringLiteral("127.0.0.1"));
    QVERIFY(!Platform::WaitReadable(native, 0));
    QVERIFY(client.write("x") == 1 && client.waitForBytesWritten(5000));
    QVERIFY(Platform::WaitReadable(native, 5000));

    int pair[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    Platform::CloseSocket(pair[0]);
    QVERIFY(::send(pair[1], "x", 1, MSG_NOSIGNAL) < 0); // the other end is closed
    ::close(pair[1]);
    QVERIFY(Platform::SocketPeerAddress(pair[0]).empty());
}

// TZ=":/etc/localtime" names the zone the system uses: local times stay as
// they were; a TZ chosen by the user is kept.
void PlatformTest::timeZoneReadOnce()
{
    if (!QFile::exists(QStringLiteral("/etc/localtime")))
        QSKIP("no /etc/localtime here");
    const QByteArray saved = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    qunsetenv("TZ");
    tzset();
    const QDateTime moment = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    const int offsetBefore = moment.toLocalTime().offsetFromUtc();
    Platform::ReadTimeZoneOnce();
    const QByteArray set = qgetenv("TZ");
    tzset();
    const int offsetAfter = moment.toLocalTime().offsetFromUtc();
    qputenv("TZ", "UTC");
    Platform::ReadTimeZoneOnce();
    const QByteArray kept = qgetenv("TZ");
    if (hadTz)
        qputenv("TZ", saved);
    else
        qunsetenv("TZ");
    tzset();
    QCOMPARE(set, QByteArray(":/etc/localtime"));
    QCOMPARE(offsetAfter, offsetBefore);
    QCOMPARE(kept, QByteArray("UTC"));
}

QTEST_MAIN(PlatformTest)
#include "tst_platform.moc"
