#pragma once

// A PostgreSQL server of its own for a test: initdb and pg_ctl (Debian's
// postgresql) on a folder inside the test's temporary folder, listening on
// 127.0.0.1 and a free port, trusting local connections. PostgreSQL refuses
// to run as root, so as root the server runs as the user "nobody", owning
// only its data folder.

#include "TestProcesses.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

class ThrowawayPostgres
{
public:
    ~ThrowawayPostgres() { Stop(); }

    // The folder of initdb and pg_ctl; empty when PostgreSQL is not installed.
    static QString BinFolder()
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

    // Makes the cluster in `root` and starts it; false with *error.
    bool Start(const QString &root, QString *error)
    {
        bin = BinFolder();
        if (bin.isEmpty()) {
            *error = QStringLiteral("PostgreSQL (initdb, pg_ctl) is not installed");
            return false;
        }
        data = QDir(root).filePath(QStringLiteral("pgdata"));
        if (!QDir().mkpath(data) || !GiveToServerUser(root, data)) {
            *error = QStringLiteral("cannot prepare %1 for the server's user").arg(data);
            return false;
        }
        if (!Run(QStringLiteral("initdb"), {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("zendral"),
                                            QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                            QStringLiteral("--no-sync")},
                 error))
            return false;
        port = TestProcesses::freePort();
        return Resume(error);
    }

    // Starts the server again on the same port (after Stop).
    bool Resume(QString *error)
    {
        return Run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), data, QStringLiteral("-l"), data + QStringLiteral("/server.log"),
                    QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                    QStringLiteral("-p %1 -h 127.0.0.1 -k %2").arg(port).arg(data), QStringLiteral("start")},
                   error)
            && (running = true);
    }

    void Stop()
    {
        if (!running)
            return;
        QString ignored;
        Run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data, QStringLiteral("-m"), QStringLiteral("fast"),
                                       QStringLiteral("-w"), QStringLiteral("stop")},
            &ignored);
        running = false;
    }

    quint16 Port() const { return port; }
    QString Connection(const QString &database) const
    {
        return QStringLiteral("host=127.0.0.1 port=%1 database=%2 user=zendral").arg(port).arg(database);
    }

private:
    // As root the server runs as "nobody": its data folder is that user's,
    // and the folders above it must let it pass.
    bool GiveToServerUser(const QString &root, const QString &folder)
    {
#ifdef Q_OS_UNIX
        if (::geteuid() != 0)
            return true;
        const passwd *user = ::getpwnam("nobody");
        if (!user)
            return false;
        uid = user->pw_uid;
        gid = user->pw_gid;
        ::chmod(QFile::encodeName(root).constData(), 0755);
        return ::chown(QFile::encodeName(folder).constData(), uid, gid) == 0;
#else
        Q_UNUSED(root)
        Q_UNUSED(folder)
        return true;
#endif
    }

    bool Run(const QString &tool, const QStringList &arguments, QString *error)
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
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()));
            return false;
        }
        return true;
    }

    QString bin;
    QString data;
    quint16 port = 0;
    bool running = false;
    uint uid = 0;
    uint gid = 0;
};
