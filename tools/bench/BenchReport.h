#pragma once

#include "BenchOptions.h"
#include "DurabilityRun.h"
#include "FillRun.h"
#include "PollRun.h"
#include "UploadRun.h"

#include <QString>
#include <QVector>

#include <optional>

namespace Orvane {
namespace Zendral {
namespace Bench {

// The printed results of a run: one section per measurement, then the ratios
// that the targets name, each next to its target and marked met or not.
// Only what was measured is printed, so a run that ended early still shows
// what it found.
//
// Thread: main thread only.
class BenchReport
{
public:
    BenchReport(const BenchOptions &options, const QString &setting);

    // The entry added; valid until the next AddFill.
    FillRun::Result *AddFill(const FillRun::Result &fill)
    {
        fills.append(fill);
        return &fills.last();
    }
    void SetPoll(const PollRun::Result &result) { poll = result; }
    void SetUploads(const QVector<UploadRun::Upload> &result) { uploads = result; }
    void SetDurability(const DurabilityRun::Result &result) { durability = result; }
    void Print() const;

private:
    void PrintWindows() const;
    void PrintPoll() const;
    void PrintUploads() const;
    void PrintDurability() const;
    void PrintTargets() const;
    const FillRun::Result *Fill(const QString &server) const;

    BenchOptions options;
    QString setting;
    QVector<FillRun::Result> fills;
    std::optional<PollRun::Result> poll;
    QVector<UploadRun::Upload> uploads;
    std::optional<DurabilityRun::Result> durability;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
