#pragma once

#include <QtGlobal>

#include <functional>

class QString;

namespace Orvane {
namespace Zendral {
namespace Bench {

// Free ports on the loopback address and waiting until a server accepts.
//
// Thread: main thread only (blocking waits, bounded).
class PortProbe
{
public:
    // A port that is free on 127.0.0.1 at this moment; throws BenchFailure.
    static quint16 FreePort();
    // Returns once 127.0.0.1:port accepts a connection. Throws BenchFailure
    // when `alive` turns false (the server died), on timeout or on Ctrl+C.
    static void WaitAccepting(quint16 port, int timeoutMs, const std::function<bool()> &alive, const QString &what);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
