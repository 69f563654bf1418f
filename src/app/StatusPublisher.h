#pragma once

#include "ServiceMetrics.h"
#include "StatusSnapshot.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

class QTimer;

namespace Orvane {
namespace Zendral {

class ServiceCore;

// Follows the service core on the main thread and publishes what the HTTP
// threads show: a status snapshot, made on every change of the queue or the
// service (coalesced for 200 ms) and at least once a second, its list of
// all jobs at most once a second (made anew once it is due); and the
// metrics' counts of jobs and runs (each run's outcome read from its job's
// record when it ends). It hands the queue's journal an observer of its
// flush times.
//
// Threads: everything but Snapshot() and Metrics() runs on the main thread,
// the core's. `mutex` guards `snapshot` (the pointer; the snapshot it points
// to is never changed once published).
class StatusPublisher : public QObject
{
    Q_OBJECT
public:
    explicit StatusPublisher(ServiceCore &core, QObject *parent = nullptr);
    ~StatusPublisher() override;

    // The last snapshot published (any thread).
    std::shared_ptr<const StatusSnapshot> Snapshot() const;
    // The counters (any thread); shared with the journal's writer thread,
    // which may still report a flush while this object goes away.
    const ServiceMetrics &Metrics() const { return *metrics; }

    // Makes and publishes a snapshot now.
    void Publish();

private:
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
    QTimer *listDue = nullptr; // a publish when the held-back job list is due
    QElapsedTimer jobsMade; // when the snapshot's job list was made
    mutable std::mutex mutex;
    std::shared_ptr<const StatusSnapshot> snapshot;
};

} // namespace Zendral
} // namespace Orvane
