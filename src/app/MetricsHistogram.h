#pragma once

#include <QByteArray>

#include <mutex>
#include <vector>

namespace Orvane {
namespace Zendral {

// A histogram in the Prometheus sense: how many observations fell at or
// below each upper bound, their sum and their count.
//
// Thread: any. `mutex` guards the counts and the sum, so that one rendering
// sees one consistent state (the bucket counts add up to the count).
class MetricsHistogram
{
public:
    // bounds: the buckets' upper bounds, ascending (+Inf is added).
    explicit MetricsHistogram(std::vector<double> bounds);

    void Observe(double value);
    // Appends the lines name_bucket{...,le="..."}, name_sum and name_count;
    // labels: further labels without braces (e.g. node="a"), may be empty.
    void Write(QByteArray &out, const QByteArray &name, const QByteArray &labels) const;

    // A number as the text format writes it ("+Inf", "NaN", shortest exact form).
    static QByteArray Number(double value);

private:
    const std::vector<double> bounds;
    mutable std::mutex mutex;
    std::vector<unsigned long long> counts; // per bucket, not cumulative; last: above every bound
    double sum = 0;
};

} // namespace Zendral
} // namespace Orvane
