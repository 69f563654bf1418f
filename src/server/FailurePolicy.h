#pragma once

namespace Orvane {
namespace Zendral {

// How the queue treats a failed run: it waits at its place for
// "worker/retry_delay_seconds" (30) while later jobs run, and after
// "worker/max_failed_runs" (3) failed runs in a row the job is failed.
// Thread: Read() uses QSettings, so it runs on the GUI thread; the value is
// plain data that may be copied to any thread.
struct FailurePolicy
{
    // Reads both settings, writing a missing one's default into the settings
    // file so that the operator finds it there.
    static FailurePolicy Read();

    int maxFailedRuns = 3;     // at least 1
    int retryDelaySeconds = 30; // at least 0
};

} // namespace Zendral
} // namespace Orvane
