#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <map>
#include <mutex>

namespace Orvane {
namespace Zendral {

// Memory that all sessions of a listener may take together: the request
// bodies being received (a session takes each step of its buffer before it
// reads into it and gives all back once the request is answered; a step that
// does not fit waits, reading nothing), and, in a second budget, the replies
// waiting to be sent (charged as they are, never refused). A step that holds
// the whole budget alone is let in, so that a body larger than the budget
// waits but never forever.
//
// Bodies grow step by step, so two bodies could each hold half and wait for
// each other. To rule that out, frames that hold memory are served in the
// order they first took some: a step of a later frame is granted only while
// what stays free still covers the whole of every earlier frame, so the
// earliest can always finish. A frame that received nothing for a while
// (ActiveMs) and does not wait for a step counts for nothing and, when it
// moves again, goes to the back: a stalled client holds no one up. What
// such a frame holds can leave the first moving frame short; that one then
// takes its step over the limit after FirstGraceMs, so the bound is the
// budget plus one step of one body, and only in that case.
//
// Thread: any; `mutex` guards `limit`, `used`, `peak` and `frames`;
// `released` is notified whenever bytes are given back.
class InflightBudget
{
public:
    // One request body's share: filled in by the budget.
    struct Frame
    {
        quint64 ticket = 0; // 0: holds nothing
        qint64 held = 0;
        qint64 total = 0;   // the bytes the whole body takes at the end
    };
    static constexpr qint64 ActiveMs = 2000;
    static constexpr qint64 FirstGraceMs = 1000;

    explicit InflightBudget(qint64 limitBytes);

    void SetLimit(qint64 limitBytes);
    qint64 Limit() const;
    qint64 InUse() const;
    // The most that was in use at once since the budget was made.
    qint64 Peak() const;

    // Takes `bytes` when they fit, waiting at most waitMs for them; false
    // when they still do not fit then. `held`: what the caller holds already
    // (when that is everything in use, the bytes fit).
    bool TryAcquire(qint64 bytes, int waitMs, qint64 held = 0);
    void Release(qint64 bytes);
    // Adds `bytes` to the frame's share when the order above allows it,
    // waiting at most waitMs; false when it still does not.
    bool TryAcquire(Frame &frame, qint64 bytes, int waitMs);
    // Gives `bytes` of the frame's share back (all of it: the frame ends).
    void Release(Frame &frame, qint64 bytes);
    // Bytes of the frame have arrived.
    void Progress(const Frame &frame);

    // Charges bytes whether they fit or not (replies already made).
    void Charge(qint64 bytes);
    // More is in use than the limit allows.
    bool Over() const;

    // The machine's physical memory in bytes, or 0 when it cannot be told.
    static qint64 PhysicalMemory();

private:
    bool Fits(qint64 bytes, qint64 held) const;
    struct Entry
    {
        // The whole body: its last step, taken while the step before is
        // still held for the copy, is at most that.
        qint64 need = 0;
        qint64 activeAt = 0; // steady ms of the last progress
        bool waiting = false;
        qint64 waitingSince = 0;
    };
    // Caller holds the mutex.
    bool FitsInOrder(const Frame &frame, qint64 bytes, qint64 now);
    static qint64 NowMs();

    mutable std::mutex mutex;
    std::condition_variable released;
    qint64 limit;
    qint64 used = 0;
    qint64 peak = 0;
    // The frames holding memory, by ticket (earliest first).
    std::map<quint64, Entry> frames;
    quint64 nextTicket = 1;
};

} // namespace Zendral
} // namespace Orvane
