#include "BenchPostgres.h"

#include "BenchFailure.h"
#include "PortProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int ToolWaitMs = 120000;

QString BinFolder()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    if (!onPath.isEmpty())
        return QFileInfo(QFileInfo(onPath).canonicalFilePath()).absolutePath(); // the tools' own folder, not a link's
    QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : versions) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
        if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
            return bin;
    }
    return QString();
}
} // namespace

BenchPostgres::~BenchPostgres()
{
    if (!running)
        return;
    try {
        Run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data, QStringLiteral("-m"), QStringLiteral("fast"),
                                       QStringLiteral("-w"), QStringLiteral("stop")});
    } catch (const BenchFailure &) {
        // Nothing more can be done here; the scratch folder goes anyway.
    }
}

// `folder` is a folder directly inside the run's scratch folder.
void BenchPostgres::Start(const QString &folder)
{
    bin = BinFolder();
    if (bin.isEmpty())
        throw BenchFailure{QStringLiteral("no PostgreSQL (initdb, pg_ctl): apt-get install postgresql")};
    data = QDir(folder).filePath(QStringLiteral("pgdata"));
    if (!QDir().mkpath(data))
        throw BenchFailure{QStringLiteral("cannot make %1").arg(data)};
#ifdef Q_OS_UNIX
    if (::geteuid() == 0) {
        const passwd *user = ::getpwnam("nobody");
        if (!user)
            throw BenchFailure{QStringLiteral("no user \"nobody\" to run PostgreSQL as")};
        uid = user->pw_uid;
        gid = user->pw_gid;
        // The server's user must pass the folder and the scratch folder
        // above it (the temporary folder itself is open to everyone).
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        ::chmod(QFile::encodeName(QFileInfo(folder).absolutePath()).constData(), 0755);
        if (::chown(QFile::encodeName(data).constData(), uid, gid) != 0)
            throw BenchFailure{QStringLiteral("cannot give %1 to the user nobody").arg(data)};
    }
#endif
    Run(QStringLiteral("initdb"), {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("zendral"),
                                   QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8")});
    port = PortProbe::FreePort();
    Run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data, QStringLiteral("-l"), data + QStringLiteral("/server.log"),
                                   QStringLiteral("-w"), QStringLiteral("-o"),
                                   QStringLiteral("-p %1 -h 127.0.0.1 -k %2").arg(port).arg(data), QStringLiteral("start")});
    running = true;
}

void BenchPostgres::CreateDatabase(const QString &name)
{
    Run(QStringLiteral("createdb"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                     QString::number(port), QStringLiteral("-U"), QStringLiteral("zendral"), name});
}

QString BenchPostgres::Connection(const QString &database) const
{
    return QStringLiteral("host=127.0.0.1 port=%1 database=%2 user=zendral").arg(port).arg(database);
}

void BenchPostgres::Run(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(QFileInfo(data).absolutePath());
    const QString program = QDir(bin).filePath(tool);
    if (uid != 0)
        process.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(uid),
                                                              QStringLiteral("--regid=%1").arg(gid),
                                                              QStringLiteral("--clear-groups"), program}
                                                     + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(ToolWaitMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw BenchFailure{QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()))};
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
