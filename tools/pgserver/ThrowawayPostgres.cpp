#include "ThrowawayPostgres.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Orvane {
namespace Zendral {

namespace {
constexpr int ToolWaitMs = 120000;

quint16 FreePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}
} // namespace

ThrowawayPostgres::~ThrowawayPostgres()
{
    Stop();
}

QString ThrowawayPostgres::BinFolder()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    if (!onPath.isEmpty())
        return QFileInfo(QFileInfo(onPath).canonicalFilePath()).absolutePath(); // the tools' own folder, not a link's
    QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : versions) {
        const QString candidate = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
        if (QFileInfo(candidate + QStringLiteral("/initdb")).isExecutable())
            return candidate;
    }
    return QString();
}

bool ThrowawayPostgres::Start(QString *error)
{
    bin = BinFolder();
    if (bin.isEmpty()) {
        *error = QStringLiteral("PostgreSQL (initdb, pg_ctl) is not installed: apt-get install postgresql");
        return false;
    }
    if (!MakeDataFolder()) {
        *error = QStringLiteral("cannot make a data folder for the server's user (%1)").arg(data);
        return false;
    }
    if (!Run(QStringLiteral("initdb"), {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("zendral"),
                                        QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                        QStringLiteral("--no-sync")},
             error))
        return false;
    port = FreePort();
    if (port == 0) {
        *error = QStringLiteral("no free port on 127.0.0.1");
        return false;
    }
    return Resume(error);
}

bool ThrowawayPostgres::Resume(QString *error)
{
    running = Run(QStringLiteral("pg_ctl"),
                  {QStringLiteral("-D"), data, QStringLiteral("-l"), data + QStringLiteral("/server.log"),
                   QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                   QStringLiteral("-p %1 -h 127.0.0.1 -k %2").arg(port).arg(data), QStringLiteral("start")},
                  error);
    return running;
}

void ThrowawayPostgres::Stop()
{
    if (!running)
        return;
    QString ignored; // nothing more can be done; the temporary folder goes anyway
    Run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data, QStringLiteral("-m"), QStringLiteral("fast"),
                                   QStringLiteral("-w"), QStringLiteral("stop")},
        &ignored);
    running = false;
}

bool ThrowawayPostgres::CreateDatabase(const QString &name, QString *error)
{
    return Run(QStringLiteral("createdb"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                            QString::number(port), QStringLiteral("-U"), QStringLiteral("zendral"), name},
               error);
}

QString ThrowawayPostgres::Connection(const QString &database) const
{
    return QStringLiteral("host=127.0.0.1 port=%1 database=%2 user=zendral").arg(port).arg(database);
}

// The data folder, in a temporary folder of its own. As root the server
// runs as "nobody", which must pass every folder above its data: the test's
// or the run's temporary folder may lie under one only root may enter (a
// clone in a private folder), so as root the folder is made in /tmp, which
// every user passes.
bool ThrowawayPostgres::MakeDataFolder()
{
    QString parent = QDir::tempPath();
#ifdef Q_OS_UNIX
    const bool asRoot = ::geteuid() == 0;
    if (asRoot)
        parent = QStringLiteral("/tmp");
#endif
    folder.reset(new QTemporaryDir(QDir(parent).filePath(QStringLiteral("zendral-pg-XXXXXX"))));
    data = QDir(folder->path()).filePath(QStringLiteral("pgdata"));
    if (!folder->isValid() || !QDir().mkpath(data))
        return false;
#ifdef Q_OS_UNIX
    if (!asRoot)
        return true;
    const passwd *user = ::getpwnam("nobody");
    if (!user)
        return false;
    uid = user->pw_uid;
    gid = user->pw_gid;
    return ::chmod(QFile::encodeName(folder->path()).constData(), 0755) == 0
        && ::chown(QFile::encodeName(data).constData(), uid, gid) == 0;
#else
    return true;
#endif
}

bool ThrowawayPostgres::Run(const QString &tool, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(QFileInfo(data).absolutePath()); // one the server's user may enter
    const QString program = QDir(bin).filePath(tool);
    if (uid != 0)
        process.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(uid),
                                                              QStringLiteral("--regid=%1").arg(gid),
                                                              QStringLiteral("--clear-groups"), program}
                                                     + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(ToolWaitMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

} // namespace Zendral
} // namespace Orvane
