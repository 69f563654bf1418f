#include "LatencyStats.h"

#include <algorithm>
#include <cmath>

namespace Orvane {
namespace Zendral {
namespace Bench {

double LatencyStats::PercentileMs(double p) const
{
    if (samples.isEmpty())
        return -1;
    QVector<qint64> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const int rank = qBound(1, int(std::ceil(p / 100.0 * sorted.size())), sorted.size());
    return sorted.at(rank - 1) / 1e6;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
