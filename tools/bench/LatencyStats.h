#pragma once

#include <QVector>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {
namespace Bench {

// Reply times of one kind of request, and their percentiles.
//
// Thread: main thread only.
class LatencyStats
{
public:
    void Add(qint64 nanoseconds) { samples.append(nanoseconds); }
    int Count() const { return samples.size(); }
    // The p-th percentile (0 < p <= 100) in milliseconds, nearest rank;
    // -1 without samples.
    double PercentileMs(double p) const;

private:
    QVector<qint64> samples;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
