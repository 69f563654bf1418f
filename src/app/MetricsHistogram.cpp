#include "MetricsHistogram.h"

#include <cmath>

namespace Orvane {
namespace Zendral {

MetricsHistogram::MetricsHistogram(std::vector<double> bounds)
    : bounds(std::move(bounds))
    , counts(this->bounds.size() + 1, 0)
{
}

void MetricsHistogram::Observe(double value)
{
    size_t bucket = 0;
    while (bucket < bounds.size() && value > bounds[bucket])
        ++bucket;
    std::lock_guard<std::mutex> lock(mutex);
    ++counts[bucket];
    sum += value;
}

void MetricsHistogram::Write(QByteArray &out, const QByteArray &name, const QByteArray &labels) const
{
    std::vector<unsigned long long> copy;
    double total = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        copy = counts;
        total = sum;
    }
    const QByteArray prefix = labels.isEmpty() ? QByteArray() : labels + ',';
    const QByteArray braces = labels.isEmpty() ? QByteArray() : '{' + labels + '}';
    unsigned long long cumulative = 0;
    for (size_t bucket = 0; bucket < copy.size(); ++bucket) {
        cumulative += copy[bucket];
        const QByteArray le = bucket < bounds.size() ? Number(bounds[bucket]) : QByteArrayLiteral("+Inf");
        out += name + "_bucket{" + prefix + "le=\"" + le + "\"} " + QByteArray::number(cumulative) + '\n';
    }
    out += name + "_sum" + braces + ' ' + Number(total) + '\n';
    out += name + "_count" + braces + ' ' + QByteArray::number(cumulative) + '\n';
}

QByteArray MetricsHistogram::Number(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QByteArrayLiteral("+Inf") : QByteArrayLiteral("-Inf");
    return QByteArray::number(value, 'g', 15);
}

} // namespace Zendral
} // namespace Orvane
