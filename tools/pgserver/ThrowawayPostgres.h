#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace Orvane {
namespace Zendral {

// A PostgreSQL server of a test's or a benchmark run's own: initdb and
// pg_ctl (Debian's postgresql) on a temporary folder of its own, listening
// on 127.0.0.1 and a free port, trusting local connections. PostgreSQL
// refuses to run as root, so as root the server runs as the user "nobody",
// owning only its data folder. The destructor stops it and removes the
// folder.
//
// Thread: the thread that made it; every call blocks (bounded waits).
class ThrowawayPostgres
{
public:
    ThrowawayPostgres() = default;
    ~ThrowawayPostgres();
    ThrowawayPostgres(const ThrowawayPostgres &) = delete;
    ThrowawayPostgres &operator=(const ThrowawayPostgres &) = delete;

    // The folder of initdb and pg_ctl; empty when PostgreSQL is not installed.
    static QString BinFolder();

    // Makes the cluster in a new temporary folder and starts it; false with
    // *error.
    bool Start(QString *error);
    // Starts the server again on the same port (after Stop).
    bool Resume(QString *error);
    void Stop();
    // A new empty database; false with *error.
    bool CreateDatabase(const QString &name, QString *error);

    quint16 Port() const { return port; }
    // The libpq connection string for a database of this server.
    QString Connection(const QString &database) const;

private:
    bool MakeDataFolder();
    bool Run(const QString &tool, const QStringList &arguments, QString *error);

    QString bin;
    std::unique_ptr<QTemporaryDir> folder;
    QString data; // folder/pgdata
    quint16 port = 0;
    bool running = false;
    uint uid = 0;
    uint gid = 0;
};

} // namespace Zendral
} // namespace Orvane
