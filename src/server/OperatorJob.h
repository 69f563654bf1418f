#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace Orvane {
namespace Zendral {

class NesterJob;

// A job as the operator's tools see it (the operator channel's "jobs", the
// status page's /api/jobs): "id", "work", "name", "client", "state",
// "position" (among the waiting jobs; 0 for any other), "budget" (s),
// "progress" (%), "efficiency", "submitted" and "started" (ISO 8601 with
// the local offset; empty when not known), "failed_runs", "error",
// "held_until" (empty when none) and "node".
//
// Thread: any (no state).
class OperatorJob
{
public:
    // place: the job's place among the waiting jobs (JobOrder::WaitingPlace).
    static QJsonObject ToJson(const NesterJob &job, int place);
    // A time as the operator's tools write it: local, with its offset.
    static QString Time(const QDateTime &time);
    // The run's start as records keep it ("yyyyMMddThhmmss", UTC).
    static QDateTime RunStart(const QString &start);
};

} // namespace Zendral
} // namespace Orvane
