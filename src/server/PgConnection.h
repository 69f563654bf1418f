#pragma once

#include "PgResult.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include <vector>

struct pg_conn;

namespace Orvane {
namespace Zendral {

// One parameter of a query: text (or NULL), or raw bytes for a bytea.
struct PgParam
{
    PgParam() = default;
    PgParam(const QByteArray &value, bool binary = false) : value(value), binary(binary), null(value.isNull()) {}
    PgParam(const QString &text) : value(text.toUtf8()), null(false) {}
    PgParam(const char *text) : value(text), null(false) {}
    PgParam(qint64 number) : value(QByteArray::number(number)), null(false) {}
    PgParam(int number) : value(QByteArray::number(number)), null(false) {}
    PgParam(double number) : value(QByteArray::number(number, 'g', 17)), null(false) {}

    QByteArray value;
    bool binary = false;
    bool null = true;
};

// One statement of a batch (PgConnection::Batch).
struct PgStatement
{
    const char *sql;
    QVector<PgParam> params;
};

// One connection to the PostgreSQL server through libpq. libpq connections
// are not thread-safe: a connection is used by one thread at a time (the
// pool hands it over under its mutex).
//
// Queries use parameters ($1, $2 ...) only, never text pasted into SQL.
class PgConnection
{
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;

    // Connects (blocking, bounded by the connect timeout among the
    // parameters); false with Error() on failure.
    bool Open(const QList<QPair<QByteArray, QByteArray>> &parameters);
    void Close();
    // Connected, and no query has found the connection broken.
    bool IsOk() const;
    QString Error() const { return error; }

    // Runs one statement. binaryResult asks for the values as raw bytes
    // (for bytea columns).
    PgResult Exec(const char *sql, const QVector<PgParam> &params = {}, bool binaryResult = false);
    // Runs a statement that must succeed; false (error logged in Error()).
    bool Run(const char *sql, const QVector<PgParam> &params = {});
    // Runs several statements without parameters (schema upgrades).
    bool RunScript(const char *sql);
    // Sends all statements at once (libpq's pipeline mode) and then reads
    // their results, one per statement, in order. The server has the whole
    // batch before it runs the first statement, so a batch that is one
    // transaction holds its locks only while the server runs it, even when
    // this process stops meanwhile. After a failed statement the rest are
    // not run (their results are not Ok). Empty when the batch could not be
    // sent or its results not read.
    std::vector<PgResult> Batch(const std::vector<PgStatement> &statements);
    bool Begin(const char *mode = "BEGIN");
    bool Commit();
    void Rollback();

    // LISTEN support: the socket to wait on, and the notifications that
    // have come (their number; 0 also when the connection broke).
    int Socket() const;
    int TakeNotifications();

private:
    void NoteFailure(const PgResult &result);

    pg_conn *conn = nullptr;
    QString error;
    bool broken = false;
};

} // namespace Zendral
} // namespace Orvane
