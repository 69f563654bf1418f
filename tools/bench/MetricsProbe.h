#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {
namespace Bench {

// Reads a counter from the service's /metrics page (the status page's HTTP
// port). The benchmark counts the journal's flushes this way where perf
// cannot count system calls: the service counts each group commit's flush
// itself (the count of zendral_store_commit_seconds), without a tracer that
// would slow the flushes down.
//
// Thread: main thread only (a blocking read, bounded in time).
class MetricsProbe
{
public:
    // The sum of the samples named `name` (any labels) on 127.0.0.1:port,
    // or -1 when the page cannot be read or has none.
    static qint64 Counter(quint16 port, const QByteArray &name);
    // The same for a /metrics text already read.
    static qint64 CounterIn(const QByteArray &text, const QByteArray &name);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
