#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {
namespace Bench {

class ZendralService;

// Group commit and durability: a burst of adds on a fresh service whose
// flushes are counted, then kill -9, a restart on the same folder, and the
// lists of every adder address compared with the adds that were
// acknowledged.
//
// Thread: main thread only.
class DurabilityRun
{
public:
    struct Result
    {
        int burst = 0;
        int clients = 0;
        int accepted = 0;
        int refused = 0;
        // Flushes by system call during the burst; empty when not counted.
        QMap<QString, qint64> flushes;
        QString notCounted; // why they were not
        // Counted by the service itself (/metrics: its journal's group
        // commits; a checkpoint's syncfs, one per compaction, is not in it).
        bool flushesByService = false;
        int listedAfterRestart = 0;
        // Acknowledged job ids missing after the restart.
        QStringList lost;
    };

    // `root` is the services' folder; `program` the Zendral program.
    static Result Run(const QString &program, const QString &root, int clients, int burst);

private:
    // The job ids that GET_NESTER_JOB_LIST shows to each adder address.
    static QSet<QString> ListedIds(ZendralService &service, int clients);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
