#include "ListedJob.h"

#include "JobName.h"

#include <QDateTime>

namespace Orvane {
namespace Zendral {

namespace {

// The list's "estimated_start" is UTC "yyyyMMddThhmmss"; people read local
// time, in the window's format. A text of another form is shown as it is.
QString LocalStart(const QString &utc)
{
    if (utc.isEmpty())
        return QString();
    QDateTime time = QDateTime::fromString(utc, QStringLiteral("yyyyMMdd'T'hhmmss"));
    if (!time.isValid())
        return utc;
    time.setTimeSpec(Qt::UTC);
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// Services that do not send "state" tell it only through position and
// progress.
QString DerivedState(int position, double progress)
{
    if (position > 0)
        return QStringLiteral("waiting");
    if (progress >= 100.0)
        return ListedJob::Finished();
    return QStringLiteral("running");
}

} // namespace

ListedJob::ListedJob(const QJsonObject &json)
    : id(json.value(QStringLiteral("job_id")).toString())
    , state(json.value(QStringLiteral("state")).toString())
    , error(json.value(QStringLiteral("error")).toString())
    , started(LocalStart(json.value(QStringLiteral("estimated_start")).toString()))
    , position(json.value(QStringLiteral("position")).toInt())
    , progress(json.value(QStringLiteral("complete_percent")).toDouble())
    , efficiency(json.value(QStringLiteral("efficient")).toDouble())
{
    // "job_name" is "<record name>:<client address>"; a record name holds
    // no ':' (the service replaces it in file names).
    const QString listed = json.value(QStringLiteral("job_name")).toString();
    const int colon = listed.indexOf(QLatin1Char(':'));
    recordName = colon < 0 ? listed : listed.left(colon);
    JobName::Decode(recordName, &work, &name);
    if (state.isEmpty())
        state = DerivedState(position, progress);
}

QString ListedJob::DisplayName() const
{
    return work.isEmpty() ? name : work + QStringLiteral(" / ") + name;
}

QString ListedJob::Summary() const
{
    if (state == QLatin1String("waiting"))
        return QStringLiteral("waiting, position %1").arg(position);
    if (state == QLatin1String("running"))
        return QStringLiteral("running, %1").arg(Percent(progress));
    if (IsFailed())
        return error.isEmpty() ? state : QStringLiteral("%1: %2").arg(state, error);
    return state;
}

QString ListedJob::Percent(double value)
{
    return QString::number(value, 'f', 1) + QLatin1Char('%');
}

} // namespace Zendral
} // namespace Orvane
