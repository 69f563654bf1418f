#pragma once

#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {
namespace Bench {

// A PostgreSQL server of the run's own for the cluster measurements:
// Debian's initdb and pg_ctl on a folder inside the scratch folder, on
// 127.0.0.1 and a free port, trusting local connections. As root it runs as
// the user "nobody" (PostgreSQL refuses root), owning only its data folder.
// The destructor stops it.
//
// Thread: main thread only.
class BenchPostgres
{
public:
    BenchPostgres() = default;
    ~BenchPostgres();
    BenchPostgres(const BenchPostgres &) = delete;
    BenchPostgres &operator=(const BenchPostgres &) = delete;

    // Makes the cluster in `folder` and starts it. Throws BenchFailure.
    void Start(const QString &folder);
    // A new empty database; throws BenchFailure.
    void CreateDatabase(const QString &name);
    // The value of "store/connection" for a database.
    QString Connection(const QString &database) const;

private:
    void Run(const QString &tool, const QStringList &arguments);

    QString bin;
    QString data;
    quint16 port = 0;
    bool running = false;
    uint uid = 0;
    uint gid = 0;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
