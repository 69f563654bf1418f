#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvane {
namespace Zendral {

// One job of the service's job list, read for people: the work and job name
// decoded as the window shows them, the state (taken from the list when the
// service sends it, otherwise worked out from position and progress) and the
// start time in local time.
//
// Thread: any (a plain value).
class ListedJob
{
public:
    ListedJob() = default;
    explicit ListedJob(const QJsonObject &json);

    bool IsEnded() const { return state == Finished() || state == Failed(); }
    bool IsFinished() const { return state == Finished(); }
    bool IsFailed() const { return state == Failed(); }

    // "work / name", or the name alone.
    QString DisplayName() const;
    // The state with what goes with it: "waiting, position 2",
    // "running, 45.0%", "finished", "failed: <error>".
    QString Summary() const;

    static QString Finished() { return QStringLiteral("finished"); }
    static QString Failed() { return QStringLiteral("failed"); }
    // A progress value as shown, e.g. "45.0%".
    static QString Percent(double value);

    QString id;
    QString recordName; // the service's record name, before decoding
    QString work;
    QString name;
    QString state;
    QString error;
    QString started; // local "yyyy-MM-dd hh:mm:ss", empty before the start
    int position = 0;
    double progress = 0;
    double efficiency = 0;
};

} // namespace Zendral
} // namespace Orvane
