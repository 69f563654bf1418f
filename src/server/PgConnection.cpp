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
    // A query runs for a minute at most and waits for a lock (the queue's
    // lock included) for ten seconds at most. A session that is quiet inside
    // a transaction (its process hangs, or was stopped) is ended by the
    // server after five seconds, so that the locks it holds do not stall the
    // other nodes; no transaction of this service waits for anything but the
    // server. The lock wait is the longer one, so that a change waiting
    // behind a hung session gets the lock once the server has ended it.
    Run("SET statement_timeout = '60s'");
    Run("SET lock_timeout = '10s'");
    Run("SET idle_in_transaction_session_timeout = '5s'");
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

std::vector<PgResult> PgConnection::Batch(const std::vector<PgStatement> &statements)
{
    std::vector<PgResult> results;
    if (!conn || PQenterPipelineMode(conn) != 1) {
        error = conn ? QString::fromUtf8(PQerrorMessage(conn)).trimmed() : QStringLiteral("not connected");
        return results;
    }
    bool ok = true;
    for (const PgStatement &statement : statements) {
        std::vector<const char *> values;
        std::vector<int> lengths, formats;
        for (const PgParam &param : statement.params) {
            values.push_back(param.null ? nullptr : param.value.constData());
            lengths.push_back(param.value.size());
            formats.push_back(param.binary ? 1 : 0);
        }
        ok = PQsendQueryParams(conn, statement.sql, int(statement.params.size()), nullptr, values.data(),
                               lengths.data(), formats.data(), 0) == 1;
        if (!ok)
            break;
    }
    // The sync point sends the whole batch. Each statement's result is
    // followed by a null; the batch ends with the sync's own result.
    ok = ok && PQpipelineSync(conn) == 1;
    for (size_t n = 0; ok && n < statements.size(); ++n) {
        pg_result *raw = PQgetResult(conn);
        ok = raw != nullptr;
        PgResult result(raw);
        if (ok && PQgetResult(conn) != nullptr)
            ok = false;
        if (ok && !result.Ok() && (results.empty() || results.back().Ok()))
            NoteFailure(result); // the first failure; the statements after it were skipped
        results.push_back(std::move(result));
    }
    if (ok) {
        const PgResult sync(PQgetResult(conn));
        ok = PQexitPipelineMode(conn) == 1;
    }
    if (!ok) {
        error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        broken = true; // out of step with the server: the connection is not used again
        results.clear();
    }
    return results;
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
