#pragma once

#include <QString>

class QTextStream;

namespace Orvane {
namespace Zendral {

class PgConnection;
class NesterJob;

// Moves this machine's own queue (JOB_LIST.BAK with its journal, and the job
// folders) into the shared queue that the settings name: every job in queue
// order at the tail of the shared queue, with its document, its result and
// its state (a job that was running waits again, as at a restart). Jobs the
// shared queue has already (an earlier import) are skipped, so running it
// twice adds nothing. The local folder is left as it was, compacted.
//
// Thread: the main thread of `zendral --import-queue`, before any window.
struct ServiceConfig;

class ClusterImport
{
public:
    // Returns the exit code: 0 when every job is in the shared queue.
    static int Run(QTextStream &out, const ServiceConfig &config);

private:
    enum class Outcome { Imported, Present, Failed };
    static Outcome ImportJob(PgConnection &connection, const NesterJob &job, QString *error);
};

} // namespace Zendral
} // namespace Orvane
