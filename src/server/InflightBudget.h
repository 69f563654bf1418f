#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <mutex>

namespace Orvane {
namespace Zendral {

// The memory that the request bodies being received by all sessions of a
// listener may take together. A session takes a body's size before it
// reads the body and gives it back once the request is answered; a session
// whose body does not fit waits, reading nothing, until enough is given back.
// A body larger than the whole budget is let in alone, so that it waits but
// never forever.
//
// Thread: any; `mutex` guards `limit` and `used`, `released` is notified
// whenever bytes are given back.
class InflightBudget
{
public:
    explicit InflightBudget(qint64 limitBytes);

    void SetLimit(qint64 limitBytes);
    qint64 Limit() const;
    qint64 InUse() const;

    // Takes `bytes` when they fit, waiting at most waitMs for them; false
    // when they still do not fit then.
    bool TryAcquire(qint64 bytes, int waitMs);
    void Release(qint64 bytes);

    // The machine's physical memory in bytes, or 0 when it cannot be told.
    static qint64 PhysicalMemory();

private:
    bool Fits(qint64 bytes) const;

    mutable std::mutex mutex;
    std::condition_variable released;
    qint64 limit;
    qint64 used = 0;
};

} // namespace Zendral
} // namespace Orvane
