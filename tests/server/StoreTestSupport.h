#pragma once

// Helpers shared by the job store tests: a fresh data folder per test case
// and small request builders.

#include "JobFolders.h"
#include "LocalServer.h"
#include "MoveStep.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace StoreTest {

// Gives the process a data folder of its own named after the test case
// (test mode, inside the isolated HOME) and empties it. The folder is removed
// only when it is plainly a test folder under HOME/.qttest.
inline bool UseFreshDataFolder(const QString &name)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("ZendralTest"));
    QCoreApplication::setApplicationName(name);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    const QString root = QDir::homePath() + QStringLiteral("/.qttest/");
    if (data.isEmpty() || !data.startsWith(root) || !data.endsWith(QLatin1Char('/') + name)
        || QDir::homePath() == QDir::rootPath())
        return false;
    QDir dir(data);
    if (dir.exists() && !dir.removeRecursively())
        return false;
    return QDir().mkpath(data);
}

inline QString JobsPath()
{
    const Orvane::Zendral::JobFolders folders;
    return folders.Ready() ? folders.Dir().absolutePath() : QString();
}

// The newest journal segment in the jobs folder.
inline QString JournalPath()
{
    const QDir dir(JobsPath());
    const QStringList segments = dir.entryList({QStringLiteral("JOB_LIST.JOURNAL.*")}, QDir::Files, QDir::Name);
    return segments.isEmpty() ? QString() : dir.absoluteFilePath(segments.last());
}

inline QByteArray AddRequest(const QString &name, const QByteArray &data, int time = -1)
{
    QJsonObject o;
    o.insert(QStringLiteral("job_name"), name);
    o.insert(QStringLiteral("work_data"), QString::fromLatin1(data.toBase64()));
    if (time >= 0)
        o.insert(QStringLiteral("time"), time);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A move request with any "step" number, valid or not.
inline QByteArray MoveRequest(const QString &id, int wireStep)
{
    QJsonObject o;
    o.insert(QStringLiteral("job_id"), id);
    o.insert(QStringLiteral("step"), wireStep);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QByteArray MoveRequest(const QString &id, Orvane::Zendral::MoveStep step)
{
    return MoveRequest(id, int(step));
}

inline bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#ifdef Q_OS_UNIX
// Limits the size of files the process writes for a scope, so that a write
// beyond it fails as on a full disk (EFBIG; the SIGXFSZ it raises is
// ignored meanwhile).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

// Folders nobody, root included, may change entries of while this lives
// (chattr +i; Linux file systems that support it). Stands in for a
// read-only jobs folder for a test that runs as root.
class ImmutableFolders
{
public:
    explicit ImmutableFolders(const QStringList &folders) : folders(folders)
    {
        done = !folders.isEmpty() && QProcess::execute(QStringLiteral("chattr"), QStringList{QStringLiteral("+i")} + folders) == 0;
    }
    ~ImmutableFolders()
    {
        QProcess::execute(QStringLiteral("chattr"), QStringList{QStringLiteral("-i")} + folders);
    }
    ImmutableFolders(const ImmutableFolders &) = delete;
    ImmutableFolders &operator=(const ImmutableFolders &) = delete;
    bool Done() const { return done; }

private:
    QStringList folders;
    bool done = false;
};

// A small tmpfs of the test's own mounted on an empty folder the test made
// (root only; Mounted() is false elsewhere), unmounted when it goes. It
// stands in for a full or read-only disk under the jobs folder.
class TmpfsMount
{
public:
    TmpfsMount(const QString &folder, int kib) : folder(folder)
    {
        mounted = QDir(folder).isEmpty()
                  && Run({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                          QStringLiteral("size=%1k,mode=0700").arg(kib), QStringLiteral("tmpfs"), folder});
    }
    ~TmpfsMount()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {folder});
    }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool Mounted() const { return mounted; }
    bool SetReadOnly(bool readOnly)
    {
        return mounted && Run({QStringLiteral("-o"), readOnly ? QStringLiteral("remount,ro") : QStringLiteral("remount,rw"),
                               folder});
    }

private:
    static bool Run(const QStringList &arguments)
    {
        return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
    }

    QString folder;
    bool mounted = false;
};
#endif

} // namespace StoreTest
