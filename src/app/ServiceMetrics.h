#pragma once

#include "MetricsHistogram.h"

#include <QByteArray>

#include <atomic>

namespace Orvane {
namespace Zendral {

struct StatusSnapshot;

// What the service counts while it runs (jobs added, runs and how they
// ended, run durations, the journal's flush times), and /metrics: these
// counters with the gauges of a status snapshot in the Prometheus text
// format 0.0.4.
//
// Thread: any. The counters are atomics; each histogram has its own mutex.
// The main thread counts jobs and runs, the journal's writer thread its
// flushes, the HTTP threads render.
class ServiceMetrics
{
public:
    // How a run ended, as its job's record tells after the run.
    enum class RunEnd {
        Finished,  // the job is finished
        Failed,    // the run failed; the job waits for its retry
        JobFailed, // the run failed and so did the job (no more retries)
        Stopped,   // stopped by the operator, or the job left the queue
    };

    ServiceMetrics();

    void JobAdded();
    void RunStarted();
    void RunEnded(RunEnd end, double seconds);
    void StoreCommitted(double seconds);

    // The whole /metrics text; nowMs: the time (ms since the epoch) the
    // oldest waiting job's age is measured at.
    QByteArray Render(const StatusSnapshot &status, qint64 nowMs) const;
    // A label value with \, " and line feeds escaped.
    static QByteArray LabelValue(const QString &value);

private:
    std::atomic<unsigned long long> jobsAdded{0};
    std::atomic<unsigned long long> runsStarted{0};
    std::atomic<unsigned long long> runsFinished{0};
    std::atomic<unsigned long long> runsFailed{0};
    std::atomic<unsigned long long> jobsFailed{0};
    MetricsHistogram runSeconds;
    MetricsHistogram commitSeconds;
};

} // namespace Zendral
} // namespace Orvane
