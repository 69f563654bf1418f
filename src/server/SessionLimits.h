#pragma once

#include <QtGlobal>

namespace Orvane {
namespace Zendral {

class InflightBudget;

// The limits a client session works within; the listener reads them from
// the settings when it starts listening and hands a copy to each session.
// Thread: a plain value, copied into each session before its thread starts.
struct SessionLimits
{
    // A frame that has begun and then receives nothing this long ends the
    // session ("worker/frame_timeout_seconds").
    qint64 frameTimeoutMs = 60 * 1000;
    // A session without a request this long is closed
    // ("worker/idle_timeout_seconds").
    qint64 idleTimeoutMs = 600 * 1000;
    // Bytes per second a begun frame must keep up ("worker/min_upload_kbps").
    qint64 minUploadBytesPerSecond = 1024;
    // While more reply bytes than this wait to be sent, no request is read.
    qint64 maxUnsentBytes = 16 * 1024 * 1024;
    // The listener's budgets for request bodies and for unsent replies of all
    // sessions; owned by the listener, which outlives its sessions. Null: no
    // budget.
    InflightBudget *budget = nullptr;
    InflightBudget *unsentBudget = nullptr;
};

} // namespace Zendral
} // namespace Orvane
