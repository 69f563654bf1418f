#pragma once

#include <QString>

#include <functional>
#include <mutex>

namespace Orvane {
namespace Zendral {

// The free space of the jobs folder's disk as adds see it. The file system
// is asked at most every ReadEveryMs (a statfs per add cost a session thread
// a few per cent of its CPU); between two readings the documents let
// through are counted off, so a burst of adds cannot all pass on one
// reading taken before it.
//
// Threads: any; `mutex` guards the reading and what was counted off since.
class FreeDiskGauge
{
public:
    // Free bytes on the disk holding a path (-1: unknown).
    using Reader = std::function<qint64(const QString &path)>;
    // A steady clock, in milliseconds.
    using Clock = std::function<qint64()>;

    static constexpr qint64 ReadEveryMs = 100;

    explicit FreeDiskGauge(const QString &path, Reader reader = {}, Clock clock = {});

    // Whether `bytes` more leave at least `keepFree` bytes free (true when
    // the free space is unknown); the bytes let through are counted off.
    bool Take(qint64 bytes, qint64 keepFree);

private:
    const QString path;
    const Reader reader;
    const Clock clock;
    std::mutex mutex;
    qint64 available = -1; // at the last reading, less what was let through since
    qint64 readAtMs = 0;
    bool read = false;
};

} // namespace Zendral
} // namespace Orvane
