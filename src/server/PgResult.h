#pragma once

#include <QByteArray>
#include <QString>

struct pg_result;

namespace Orvane {
namespace Zendral {

// One result of a PostgreSQL query (libpq's PGresult), freed with the
// object. Movable, not copyable.
//
// Thread: used by the thread that ran the query.
class PgResult
{
public:
    PgResult() = default;
    explicit PgResult(pg_result *result);
    ~PgResult();
    PgResult(PgResult &&other) noexcept;
    PgResult &operator=(PgResult &&other) noexcept;
    PgResult(const PgResult &) = delete;
    PgResult &operator=(const PgResult &) = delete;

    // The command succeeded (with or without rows).
    bool Ok() const;
    int Rows() const;
    bool IsNull(int row, int column) const;
    // The value's bytes as sent (text, or raw bytes in a binary result).
    QByteArray Bytes(int row, int column) const;
    QString Text(int row, int column) const;
    qint64 Int(int row, int column) const;
    double Double(int row, int column) const;
    // Rows changed by an UPDATE, INSERT or DELETE.
    int Affected() const;
    // The server's message for a failed command.
    QString Error() const;

private:
    pg_result *result = nullptr;
};

} // namespace Zendral
} // namespace Orvane
