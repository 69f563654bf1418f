#include "PgConnection.h"

#include <libpq-fe.h>

#include <vector>

namespace Orvane {
namespace Zendral {

PgConnection::~PgConnection()
{
    Close();
}

bool PgConnection::Open(const QList<QPair<QByteArray, QByteArray>> &parameters)
{
    Close();
    std::vector<const char *> keywords, values;
    for (const auto &parameter : parameters) {
        keywords.push_back(parameter.first.constData());
        values.push_back(parameter.second.constData());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    conn = PQconnectdbParams(keywords.data(), values.data(), 0);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        error = conn ? QString::fromUtf8(PQerrorMessage(conn)).trimmed() : QStringLiteral("out of memory");
        Close();
        return false;
    }
    broken = false;
    error.clear();
    // A query may wait for the queue's lock, never for ever; a connection
    // that is quiet inside a transaction is ended by the server.
    Run("SET statement_timeout = '60s'");
    Run("SET idle_in_transaction_session_timeout = '60s'");
    return IsOk();
}

void PgConnection::Close()
{
    if (conn)
        PQfinish(conn);
    conn = nullptr;
}

bool PgConnection::IsOk() const
{
    return conn && !broken && PQstatus(conn) == CONNECTION_OK;
}

void PgConnection::NoteFailure(const PgResult &result)
{
    error = result.Error();
    if (!conn || PQstatus(conn) != CONNECTION_OK)
        broken = true;
}

PgResult PgConnection::Exec(const char *sql, const QVector<PgParam> &params, bool binaryResult)
{
    if (!conn) {
        error = QStringLiteral("not connected");
        return PgResult();
    }
    std::vector<const char *> values;
    std::vector<int> lengths, formats;
    for (const PgParam &param : params) {
        values.push_back(param.null ? nullptr : param.value.constData());
        lengths.push_back(param.value.size());
        formats.push_back(param.binary ? 1 : 0);
    }
    PgResult result(PQexecParams(conn, sql, int(params.size()), nullptr, values.data(), lengths.data(),
                                 formats.data(), binaryResult ? 1 : 0));
    if (!result.Ok())
        NoteFailure(result);
    return result;
}

bool PgConnection::Run(const char *sql, const QVector<PgParam> &params)
{
    return Exec(sql, params).Ok();
}

bool PgConnection::RunScript(const char *sql)
{
    if (!conn) {
        error = QStringLiteral("not connected");
        return false;
    }
    const PgResult result(PQexec(conn, sql));
    if (!result.Ok())
        NoteFailure(result);
    return result.Ok();
}

bool PgConnection::Begin(const char *mode)
{
    return Run(mode);
}

bool PgConnection::Commit()
{
    return Run("COMMIT");
}

void PgConnection::Rollback()
{
    if (conn && PQtransactionStatus(conn) != PQTRANS_IDLE) {
        const QString kept = error;
        Run("ROLLBACK");
        error = kept;
    }
}

int PgConnection::Socket() const
{
    return conn ? PQsocket(conn) : -1;
}

int PgConnection::TakeNotifications()
{
    if (!conn)
        return 0;
    if (!PQconsumeInput(conn)) {
        error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        broken = true;
        return 0;
    }
    int count = 0;
    while (PGnotify *notify = PQnotifies(conn)) {
        ++count;
        PQfreemem(notify);
    }
    return count;
}

} // namespace Zendral
} // namespace Orvane
