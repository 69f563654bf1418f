#pragma once

#include "FailurePolicy.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace Orvane {
namespace Zendral {

// The settings of the shared queue on PostgreSQL:
// - "store/backend": "files" (the default: this machine's own queue) or
//   "postgresql";
// - "store/connection": host, port, database and user as key=value pairs
//   separated by blanks ("host=db.local port=5432 database=zendral
//   user=zendral"); a password there is refused;
// - "store/password_file": a file whose first line is the password; else
//   the environment variable ZENDRAL_STORE_PASSWORD (else libpq's own
//   PGPASSWORD or ~/.pgpass);
// - "store/lease_seconds" (30): how long a claimed job stays with a node
//   that stops renewing it;
// - "store/node": this node's name (default: the host name);
// - the failure policy the local queue also uses.
// All come from the service's settings (ServiceConfig); this class turns
// them into libpq's parameters.
//
// Thread: made once where the store is made; the object is then read-only.
class ClusterSettings
{
public:
    // The shared queue's settings; Error() says what is wrong with them.
    static ClusterSettings From(const ServiceConfig &config);

    bool IsValid() const { return error.isEmpty(); }
    QString Error() const { return error; }
    // libpq's connection keywords and values (password included, when given).
    const QList<QPair<QByteArray, QByteArray>> &Parameters() const { return parameters; }
    // host:port/database as user, for logs (never the password).
    QString Describe() const;
    QString Node() const { return node; }
    int LeaseSeconds() const { return leaseSeconds; }
    const FailurePolicy &Failures() const { return failures; }

    // Parses "store/connection"; false (with *error) on an unknown key or a
    // password. Public for tests.
    static bool ParseConnection(const QString &text, QList<QPair<QByteArray, QByteArray>> *parameters,
                                QString *error);

private:
    QList<QPair<QByteArray, QByteArray>> parameters;
    QString node;
    int leaseSeconds = 30;
    FailurePolicy failures;
    QString error;
};

} // namespace Zendral
} // namespace Orvane
