#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvane {
namespace Zendral {

class ServiceCore;

// The operations of the operator channel (docs/admin.md), one request object
// in, one reply object out: status, jobs, move, remove, retry, hold,
// release, pause and resume. A reply is {"ok": true, ...} or {"ok": false,
// "error": "..."}; a refused request changes nothing. Job ids may be given
// as unique beginnings (JobIdPrefix), looked up among all jobs of the queue.
// "watch" is the channel's own (AdminServer).
//
// Thread: the core's (main) thread.
class AdminCommands
{
public:
    explicit AdminCommands(ServiceCore &core);

    QJsonObject Run(const QJsonObject &request);

    static QJsonObject Refused(const QString &reason);

private:
    QJsonObject Status();
    QJsonObject Jobs(const QJsonObject &request);
    QJsonObject Move(const QJsonObject &request);
    QJsonObject Remove(const QJsonObject &request);
    QJsonObject Retry(const QJsonObject &request);
    QJsonObject Hold(const QJsonObject &request);
    QJsonObject Release(const QJsonObject &request);
    QJsonObject Pause(bool pause);

    // The one job `argument` names into *id; false with *error when it
    // names none or several.
    bool Resolve(const QString &argument, QString *id, QString *error) const;
    // The job's state as the operator sees it ("" when it is gone).
    QString StateOf(const QString &id) const;

    ServiceCore &core;
};

} // namespace Zendral
} // namespace Orvane
