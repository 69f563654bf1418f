#pragma once

#include "ServiceMetrics.h"
#include "StatusSnapshot.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>

class QTimer;

namespace Orvane {
namespace Zendral {

class ServiceCore;

// Follows the service core on the main thread and publishes what the HTTP
// threads show: a status snapshot, made on every change of the queue or the
// service (coalesced for 200 ms) and at least once a second; and the
// metrics' counts of jobs and runs (each run's outcome read from its job's
// record when it ends). The parts that walk the whole queue (the list of all
// jobs, the oldest waiting job) are made only when an HTTP thread asks for
// them and the last ones are more than a second old: while clients add, the
// queue changes far more often than anyone reads them. It hands the queue's
// journal an observer of its flush times.
//
// Threads: everything but Snapshot(), Fresh(), StopServing() and Metrics()
// runs on the main thread, the core's. `mutex` guards `snapshot` (the
// pointer; the snapshot it points to is never changed once published),
// `asked` and `serving`; `made` is signalled under it when asked parts are
// published.
class StatusPublisher : public QObject
{
    Q_OBJECT
public:
    explicit StatusPublisher(ServiceCore &core, QObject *parent = nullptr);
    ~StatusPublisher() override;

    // What an HTTP thread may ask to be made fresh.
    enum Part { OldestWaiting = 1, JobList = 2 };

    // The last snapshot published (any thread).
    std::shared_ptr<const StatusSnapshot> Snapshot() const;
    // The last snapshot, with the parts asked for made at most a second ago
    // (any thread but the main one). When they are older, they are noted for
    // the main thread, which looks every 50 ms, and the caller waits up to
    // waitMs; after that (a busy main thread, or StopServing) it gets the
    // last ones made.
    std::shared_ptr<const StatusSnapshot> Fresh(int parts, int waitMs);
    // No one waits in Fresh() from here on (any thread; before the HTTP
    // threads are joined).
    void StopServing();
    // The counters (any thread); shared with the journal's writer thread,
    // which may still report a flush while this object goes away.
    const ServiceMetrics &Metrics() const { return *metrics; }

    // Makes and publishes a snapshot now, with the parts asked for.
    void Publish();

private:
    bool IsFresh(const StatusSnapshot &made, int parts) const;
    void MakeAsked();
    void PublishWith(int parts);
    void FollowQueue();
    void PublishSoon();
    void OnRunStarted(const QString &job_id);
    void OnRunEnded(const QString &job_id);

    struct Run
    {
        QElapsedTimer clock;
        int failedRuns = 0; // the job's failed runs in a row when the run started
    };

    ServiceCore &core;
    const std::shared_ptr<ServiceMetrics> metrics;
    QHash<QString, Run> runs; // runs in progress, by job id
    QTimer *soon = nullptr;
    QTimer *tick = nullptr;
    bool queueReplaced = false; // the parts made for the last queue are not shown again
    mutable std::mutex mutex;
    std::condition_variable made;
    std::shared_ptr<const StatusSnapshot> snapshot;
    int asked = 0; // parts asked for and not yet made
    bool serving = true;
};

} // namespace Zendral
} // namespace Orvane
