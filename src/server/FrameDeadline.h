#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {

// The deadline of one request frame: it starts one frame timeout ahead and
// each byte that arrives moves it on by the time that byte is worth at the
// minimum upload rate, never further than one frame timeout from now. A
// client at or above the rate therefore always keeps a frame timeout in
// hand; a slower one falls behind and runs out, however short its gaps, and
// a gap of the frame timeout always ends the frame.
//
// Thread: a plain value used by one session thread.
class FrameDeadline
{
public:
    FrameDeadline(qint64 frameTimeoutMs, qint64 minBytesPerSecond);

    // The frame has begun (its first byte has come).
    void Start();
    void Received(qint64 bytes);
    // Moves the deadline on by a wait that was not the client's doing.
    void Postpone(qint64 ms);
    // Milliseconds left; 0 or less: the frame is too slow.
    qint64 LeftMs() const;

private:
    qint64 frameTimeoutMs;
    qint64 minBytesPerSecond;
    QElapsedTimer clock;
    // Milliseconds on `clock`.
    qint64 deadline = 0;
    // Credit of bytes below one millisecond's worth, carried to the next call.
    qint64 spareBytes = 0;
};

} // namespace Zendral
} // namespace Orvane
