#include "FreeDiskGauge.h"

#include "NativePath.h"
#include "Platform.h"

#include <QElapsedTimer>

namespace Orvane {
namespace Zendral {

FreeDiskGauge::FreeDiskGauge(const QString &path, Reader reader, Clock clock)
    : path(path)
    // Not QStorageInfo, which reads the whole mount table on every call.
    , reader(reader ? std::move(reader) : [](const QString &at) { return Platform::FreeDiskBytes(NativePath(at)); })
    , clock(clock ? std::move(clock) : [] {
        QElapsedTimer since;
        since.start();
        return since.msecsSinceReference();
    })
{
}

bool FreeDiskGauge::Take(qint64 bytes, qint64 keepFree)
{
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 now = clock();
    if (!read || now - readAtMs >= ReadEveryMs) {
        available = reader(path);
        readAtMs = now;
        read = true;
    }
    if (available < 0)
        return true;
    if (available - bytes < keepFree)
        return false;
    available -= bytes;
    return true;
}

} // namespace Zendral
} // namespace Orvane
