#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {
namespace Bench {

// Counts the flushes to stable storage a server makes (fsync, fdatasync,
// sync_file_range, syncfs, sync, msync) between Enable and Disable. The
// server runs as the child of "perf stat", which counts the system-call
// tracepoints in the kernel for the server and all its threads; unlike a
// tracer it never stops the server, so the flushes cost what they always do
// and group commit batches as it would without the counter. perf is told to
// start and stop counting through a control FIFO, so only the burst counts,
// not the service's start-up. Flushes by other means (files opened with
// O_SYNC or O_DSYNC, io_uring) are not seen.
//
// Thread: main thread only.
class FlushCounter
{
public:
    // Control FIFOs and the output file go into `folder`.
    explicit FlushCounter(const QString &folder);
    ~FlushCounter();
    FlushCounter(const FlushCounter &) = delete;
    FlushCounter &operator=(const FlushCounter &) = delete;

    // The perf program, or empty (with the reason in `why`) when it cannot
    // be used here.
    static QString Program(QString *why);
    // The command to put before the server's own, ending in "--". Throws
    // BenchFailure when the FIFOs cannot be made.
    QStringList WrapperCommand();
    // Start and stop counting; each waits for perf's acknowledgement.
    void Enable();
    void Disable();
    // The counts by system call, read once perf has ended (after the server
    // ended). Throws BenchFailure when perf wrote none.
    QMap<QString, qint64> Read() const;

private:
    void Command(const char *command);

    QString folder;
    int controlFd = -1;
    int ackFd = -1;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
