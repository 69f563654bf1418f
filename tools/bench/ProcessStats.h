#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {
namespace Bench {

// What the system tells about a running process: CPU time and memory from
// /proc (Linux). Elsewhere every reading is unavailable (negative) and the
// report says "n/a".
//
// Thread: any; plain reads of /proc, no state.
class ProcessStats
{
public:
    // utime + stime of all the process's threads, in seconds; -1 when unknown.
    static double CpuSeconds(qint64 pid);
    // The CPU time of the process's live threads, summed by role from the
    // thread names the service gives them: "sessions" (session), "store
    // writer" (store-writer, store-compact), "core" (the main thread) and
    // "other". Each thread's time is the scheduler's own sum in nanoseconds
    // where the kernel shows it (its utime and stime count whole clock
    // ticks, which for a thread's share of one window is no measure at all),
    // else utime + stime. Empty when unknown.
    static QMap<QString, double> ThreadCpuSeconds(qint64 pid);
    // A "VmRSS" or "VmHWM" line of /proc/PID/status, in bytes; -1 when unknown.
    static qint64 MemoryBytes(qint64 pid, const char *key);
    // Resets the process's peak resident size (VmHWM) to its current size.
    static bool ResetPeak(qint64 pid);
    // The processes whose parent is `pid`.
    static QList<qint64> Children(qint64 pid);
    // The parent of `pid`; -1 when `pid` does not exist.
    static qint64 Parent(qint64 pid);
    // Sends SIGKILL (kill -9) to `pid`. The caller passes only ids of
    // processes the run started.
    static bool KillHard(qint64 pid);
    // Asks `pid` to end (SIGTERM).
    static bool Terminate(qint64 pid);
    // True while `pid` exists and is not a zombie.
    static bool IsAlive(qint64 pid);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
