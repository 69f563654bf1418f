#pragma once

#include "BenchOptions.h"
#include "FillRun.h"

#include <QString>

namespace Orvane {
namespace Zendral {
namespace Bench {

class AdderPool;
class BenchReport;
class ScratchFolder;

// One whole benchmark run: beanstalkd twice, zendral-floor, then Zendral (fill, list
// latency, uploads, durability), each server on its own folder inside one
// scratch folder, then the report. Everything it starts is stopped when the
// step that started it ends, also when it fails.
//
// Thread: main thread only.
class BenchRun
{
public:
    explicit BenchRun(const BenchOptions &options);

    // Runs and prints; throws BenchFailure after printing what was measured
    // when a step could not be run.
    void Execute();

private:
    void RunBeanstalkd(ScratchFolder &scratch, BenchReport &report, const QString &program, const QString &name,
                       const QStringList &extra);
    void RunZendralFill(ScratchFolder &scratch, BenchReport &report, const QString &program);
    // Fills the server's queue and adds what was measured to the report,
    // also when the fill fails.
    // `byThread`: the server names its threads; its CPU is split by them.
    // Returns the fill's entry in the report.
    FillRun::Result *Fill(BenchReport &report, const QString &server, AdderPool &adders, qint64 pid,
                          bool byThread = false);
    void RunUploads(ScratchFolder &scratch, BenchReport &report, const QString &program);
    // The service program as a copy inside the scratch folder: the service
    // writes its logs beside its executable, and they belong to the run.
    QString ProgramCopy(ScratchFolder &scratch) const;
    QString Beanstalkd() const;
    // The cluster comparison (--cluster) instead of the rest.
    void RunCluster(ScratchFolder &scratch, const QString &program);

    BenchOptions options;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
