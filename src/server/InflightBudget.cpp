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

qint64 InflightBudget::Peak() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return peak;
}

// Caller holds the mutex.
bool InflightBudget::Fits(qint64 bytes, qint64 held) const
{
    return used <= held || used + bytes <= limit;
}

bool InflightBudget::TryAcquire(qint64 bytes, int waitMs, qint64 held)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!released.wait_for(lock, std::chrono::milliseconds(qMax(0, waitMs)), [&] { return Fits(bytes, held); }))
        return false;
    used += bytes;
    peak = qMax(peak, used);
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

qint64 InflightBudget::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Caller holds the mutex. A frame that was stalled goes to the back first.
bool InflightBudget::FitsInOrder(const Frame &frame, qint64 bytes, qint64 now)
{
    if (used <= frame.held)
        return true; // alone
    qint64 reserved = 0;
    bool first = frame.ticket != 0;
    for (const auto &entry : frames) {
        if (frame.ticket != 0 && entry.first >= frame.ticket)
            break;
        const Entry &earlier = entry.second;
        if (earlier.waiting || now - earlier.activeAt < ActiveMs) {
            reserved += earlier.need;
            first = false;
        }
    }
    if (used + bytes + reserved <= limit)
        return true;
    // A frame that lost its place while stalled may hold what the first
    // moving frame needs; after a grace the first one goes over the limit
    // by its step, so that bodies never wait for each other for ever.
    const auto it = first ? frames.find(frame.ticket) : frames.end();
    return it != frames.end() && it->second.waiting && now - it->second.waitingSince >= FirstGraceMs;
}

bool InflightBudget::TryAcquire(Frame &frame, qint64 bytes, int waitMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    qint64 now = NowMs();
    if (frame.ticket != 0) {
        Entry &entry = frames[frame.ticket];
        if (!entry.waiting && now - entry.activeAt >= ActiveMs) {
            frames.erase(frame.ticket); // stalled: to the back
            frame.ticket = nextTicket++;
            frames[frame.ticket] = Entry{frame.total, now, false};
        }
        Entry &waiter = frames[frame.ticket];
        if (!waiter.waiting)
            waiter.waitingSince = now;
        waiter.waiting = true;
    }
    const bool granted = released.wait_for(lock, std::chrono::milliseconds(qMax(0, waitMs)), [&] {
        return FitsInOrder(frame, bytes, NowMs());
    });
    now = NowMs();
    if (!granted)
        return false;
    used += bytes;
    peak = qMax(peak, used);
    frame.held += bytes;
    if (frame.ticket == 0)
        frame.ticket = nextTicket++;
    // A body that holds all it will take needs nothing more.
    frames[frame.ticket] = Entry{frame.held >= frame.total ? 0 : frame.total, now, false};
    return true;
}

void InflightBudget::Release(Frame &frame, qint64 bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes = qBound<qint64>(0, bytes, frame.held);
        used = qMax<qint64>(0, used - bytes);
        frame.held -= bytes;
        if (frame.held == 0) {
            frames.erase(frame.ticket);
            frame.ticket = 0;
        }
    }
    released.notify_all();
}

void InflightBudget::Progress(const Frame &frame)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = frames.find(frame.ticket);
    if (it != frames.end())
        it->second.activeAt = NowMs();
}

void InflightBudget::Charge(qint64 bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    used += bytes;
    peak = qMax(peak, used);
}

bool InflightBudget::Over() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return used > limit;
}

qint64 InflightBudget::PhysicalMemory()
{
    return Platform::PhysicalMemoryBytes();
}

} // namespace Zendral
} // namespace Orvane
