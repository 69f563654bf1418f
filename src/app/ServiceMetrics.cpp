#include "ServiceMetrics.h"

#include "StatusSnapshot.h"

namespace Orvane {
namespace Zendral {

namespace {

// Appends the HELP and TYPE lines of a metric.
void Describe(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArrayLiteral("# HELP ") + name + ' ' + help + '\n';
    out += QByteArrayLiteral("# TYPE ") + name + ' ' + type + '\n';
}

// name{labels} value
void Sample(QByteArray &out, const char *name, const QByteArray &labels, const QByteArray &value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + value + '\n';
}

QByteArray Count(unsigned long long value)
{
    return QByteArray::number(value);
}

// Joins label pairs, leaving out empty ones.
QByteArray Labels(const QByteArray &first, const QByteArray &second)
{
    if (first.isEmpty() || second.isEmpty())
        return first + second;
    return first + ',' + second;
}

} // namespace

// Engine runs take seconds to hours (a job's time budget); journal flushes
// take well under a millisecond on an SSD to a good part of a second on a
// busy disk.
ServiceMetrics::ServiceMetrics()
    : runSeconds({1, 5, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600, 7200, 14400})
    , commitSeconds({0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5})
{
}

void ServiceMetrics::JobAdded()
{
    ++jobsAdded;
}

void ServiceMetrics::RunStarted()
{
    ++runsStarted;
}

void ServiceMetrics::RunEnded(RunEnd end, double seconds)
{
    if (end == RunEnd::Finished)
        ++runsFinished;
    if (end == RunEnd::Failed || end == RunEnd::JobFailed)
        ++runsFailed;
    if (end == RunEnd::JobFailed)
        ++jobsFailed;
    runSeconds.Observe(seconds);
}

void ServiceMetrics::StoreCommitted(double seconds)
{
    commitSeconds.Observe(seconds);
}

QByteArray ServiceMetrics::LabelValue(const QString &value)
{
    QByteArray escaped;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

// The queue's own numbers (jobs per state, jobs added, the oldest waiting
// job) have no node label: in a shared queue every node sees the same
// queue. What belongs to this service (its runs, slots, pause, sessions,
// flushes) carries node="..." there, so the nodes' series stay apart when
// they are summed.
QByteArray ServiceMetrics::Render(const StatusSnapshot &status, qint64 nowMs) const
{
    const QByteArray node = status.shared ? "node=\"" + LabelValue(status.node) + '"' : QByteArray();
    QByteArray out;
    out.reserve(4096);

    Describe(out, "zendral_build_info", "gauge", "The service's version (always 1).");
    Sample(out, "zendral_build_info", Labels("version=\"" + LabelValue(status.version) + '"', node), "1");

    Describe(out, "zendral_jobs", "gauge", "Jobs in the queue per state.");
    for (int state = 0; state < StatusSnapshot::StateCount; ++state)
        Sample(out, "zendral_jobs", QByteArray("state=\"") + StatusSnapshot::StateName(state) + '"',
               QByteArray::number(status.jobs[state]));

    Describe(out, "zendral_oldest_waiting_seconds", "gauge",
             "Age of the oldest waiting job in seconds (0 when none waits).");
    const double oldest = status.oldestWaitingMs > 0 ? qMax<qint64>(0, nowMs - status.oldestWaitingMs) / 1000.0 : 0;
    Sample(out, "zendral_oldest_waiting_seconds", QByteArray(), MetricsHistogram::Number(oldest));

    Describe(out, "zendral_jobs_added_total", "counter", "Jobs that entered the queue since the service started.");
    Sample(out, "zendral_jobs_added_total", QByteArray(), Count(jobsAdded));
    Describe(out, "zendral_runs_started_total", "counter", "Engine runs started by this service.");
    Sample(out, "zendral_runs_started_total", node, Count(runsStarted));
    Describe(out, "zendral_runs_finished_total", "counter", "Engine runs that finished their job.");
    Sample(out, "zendral_runs_finished_total", node, Count(runsFinished));
    Describe(out, "zendral_runs_failed_total", "counter", "Engine runs that failed (their job is retried or failed).");
    Sample(out, "zendral_runs_failed_total", node, Count(runsFailed));
    Describe(out, "zendral_jobs_failed_total", "counter",
             "Jobs that reached the failed state after their last allowed run.");
    Sample(out, "zendral_jobs_failed_total", node, Count(jobsFailed));

    Describe(out, "zendral_run_duration_seconds", "histogram", "Duration of the engine runs that ended.");
    runSeconds.Write(out, "zendral_run_duration_seconds", node);

    Describe(out, "zendral_client_sessions", "gauge", "Client sessions connected now.");
    Sample(out, "zendral_client_sessions", node, QByteArray::number(status.clientSessions));

    Describe(out, "zendral_store_commit_seconds", "histogram",
             "Duration of the queue journal's flushes to stable storage (group commits).");
    commitSeconds.Write(out, "zendral_store_commit_seconds", node);

    Describe(out, "zendral_engine_slots", "gauge", "Engine slots: busy and in all.");
    Sample(out, "zendral_engine_slots", Labels("kind=\"busy\"", node), QByteArray::number(status.slotsBusy));
    Sample(out, "zendral_engine_slots", Labels("kind=\"total\"", node), QByteArray::number(status.slotsTotal));

    Describe(out, "zendral_paused", "gauge", "1 while the operator paused picking, else 0.");
    Sample(out, "zendral_paused", node, status.paused ? "1" : "0");
    return out;
}

} // namespace Zendral
} // namespace Orvane
