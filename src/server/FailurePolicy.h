#pragma once

namespace Orvane {
namespace Zendral {

struct ServiceConfig;

// How the queue treats a failed run: it waits at its place for
// "worker/retry_delay_seconds" (30) while later jobs run, and after
// "worker/max_failed_runs" (3) failed runs in a row the job is failed.
// Thread: plain data that may be copied to any thread.
struct FailurePolicy
{
    // The policy the settings give.
    static FailurePolicy From(const ServiceConfig &config);

    int maxFailedRuns = 3;     // at least 1
    int retryDelaySeconds = 30; // at least 0
};

} // namespace Zendral
} // namespace Orvane
