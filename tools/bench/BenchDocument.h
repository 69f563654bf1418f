#pragma once

#include <QByteArray>

namespace Orvane {
namespace Zendral {
namespace Bench {

// The documents the benchmark uploads: the same bytes for every server,
// pseudo-random (so no layer can compress them away) and repeatable.
//
// Thread: any; no state.
class BenchDocument
{
public:
    static QByteArray Make(qint64 size, quint64 seed);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
