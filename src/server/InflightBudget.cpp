#include "InflightBudget.h"

#include "Platform.h"

#include <chrono>

namespace Orvane {
namespace Zendral {

InflightBudget::InflightBudget(qint64 limitBytes)
    : limit(limitBytes)
{
}

void InflightBudget::SetLimit(qint64 limitBytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        limit = limitBytes;
    }
    released.notify_all(); // a larger budget may let a waiting body in
}

qint64 InflightBudget::Limit() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return limit;
}

qint64 InflightBudget::InUse() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return used;
}

// Caller holds the mutex.
bool InflightBudget::Fits(qint64 bytes) const
{
    return used == 0 || used + bytes <= limit;
}

bool InflightBudget::TryAcquire(qint64 bytes, int waitMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!released.wait_for(lock, std::chrono::milliseconds(qMax(0, waitMs)), [&] { return Fits(bytes); }))
        return false;
    used += bytes;
    return true;
}

void InflightBudget::Release(qint64 bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        used = qMax<qint64>(0, used - bytes);
    }
    released.notify_all();
}

qint64 InflightBudget::PhysicalMemory()
{
    return Platform::PhysicalMemoryBytes();
}

} // namespace Zendral
} // namespace Orvane
