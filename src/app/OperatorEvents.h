#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

class NesterJob;
class ServiceCore;

// The events the operator's "watch" shows, derived from the queue's change
// events and the core's pause: added, started, progress (each further 10 %),
// finished, failed, held, released, retried, removed, moved, paused and
// resumed. Each is one JSON object (see docs/admin.md). It compares every
// changed record with the state it last saw of that job, and follows the
// queue's rows by id to name the job of a move. It follows the queue only
// while someone watches (SetFollowing): each add costs the main thread an
// event otherwise, and the rows a list insert that grows with the queue.
//
// Thread: the core's (main) thread; the queue's signals arrive there.
class OperatorEvents : public QObject
{
    Q_OBJECT
public:
    explicit OperatorEvents(ServiceCore &core, QObject *parent = nullptr);

    // Starts following the queue (its jobs as they are now, then every
    // change), or stops and forgets it.
    void SetFollowing(bool on);

signals:
    void event(const QJsonObject &event);

private:
    // What was last seen of a job.
    struct Seen
    {
        QString state;
        int failedRuns = 0;
        int tenths = 0; // progress in whole 10 % steps
    };

    void Follow();
    void Unfollow();
    void Inserted(int row, const NesterJob *job);
    void RemovedAt(int row, const NesterJob *job);
    void Moved(int from, int to);
    void Changed(const NesterJob *job);
    void Emit(const QString &name, const NesterJob &job, QJsonObject extra = QJsonObject());

    ServiceCore &core;
    QList<QMetaObject::Connection> queueConnections;
    QStringList rows; // the queue's job ids in order, as the events told it
    QHash<QString, Seen> seen;
    bool following = false;
};

} // namespace Zendral
} // namespace Orvane
