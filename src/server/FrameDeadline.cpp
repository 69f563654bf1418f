#include "FrameDeadline.h"

namespace Orvane {
namespace Zendral {

FrameDeadline::FrameDeadline(qint64 frameTimeoutMs, qint64 minBytesPerSecond)
    : frameTimeoutMs(qMax<qint64>(1, frameTimeoutMs))
    , minBytesPerSecond(qMax<qint64>(1, minBytesPerSecond))
{
}

void FrameDeadline::Start()
{
    clock.start();
    deadline = frameTimeoutMs;
    spareBytes = 0;
}

void FrameDeadline::Received(qint64 bytes)
{
    spareBytes += qMax<qint64>(0, bytes);
    const qint64 creditMs = spareBytes * 1000 / minBytesPerSecond;
    spareBytes -= creditMs * minBytesPerSecond / 1000;
    deadline = qMin(deadline + creditMs, clock.elapsed() + frameTimeoutMs);
}

void FrameDeadline::Postpone(qint64 ms)
{
    deadline += qMax<qint64>(0, ms);
}

qint64 FrameDeadline::LeftMs() const
{
    return deadline - clock.elapsed();
}

} // namespace Zendral
} // namespace Orvane
