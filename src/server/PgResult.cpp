#include "PgResult.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <utility>

namespace Orvane {
namespace Zendral {

PgResult::PgResult(pg_result *result)
    : result(result)
{
}

PgResult::~PgResult()
{
    if (result)
        PQclear(result);
}

PgResult::PgResult(PgResult &&other) noexcept
    : result(std::exchange(other.result, nullptr))
{
}

PgResult &PgResult::operator=(PgResult &&other) noexcept
{
    if (this != &other) {
        if (result)
            PQclear(result);
        result = std::exchange(other.result, nullptr);
    }
    return *this;
}

bool PgResult::Ok() const
{
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int PgResult::Rows() const
{
    return result ? PQntuples(result) : 0;
}

bool PgResult::IsNull(int row, int column) const
{
    return !result || row >= Rows() || PQgetisnull(result, row, column);
}

QByteArray PgResult::Bytes(int row, int column) const
{
    if (IsNull(row, column))
        return QByteArray();
    return QByteArray(PQgetvalue(result, row, column), PQgetlength(result, row, column));
}

QString PgResult::Text(int row, int column) const
{
    return QString::fromUtf8(Bytes(row, column));
}

qint64 PgResult::Int(int row, int column) const
{
    return IsNull(row, column) ? 0 : std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

double PgResult::Double(int row, int column) const
{
    return IsNull(row, column) ? 0 : std::strtod(PQgetvalue(result, row, column), nullptr);
}

int PgResult::Affected() const
{
    return result ? std::atoi(PQcmdTuples(result)) : 0;
}

QString PgResult::Error() const
{
    return result ? QString::fromUtf8(PQresultErrorMessage(result)).trimmed() : QStringLiteral("no result");
}

} // namespace Zendral
} // namespace Orvane
