#pragma once

#include <functional>

class QString;

namespace Orvane {
namespace Zendral {
namespace Bench {

// Runs the main thread's event loop (sockets, processes) until a condition
// holds. Every wait is bounded: a timeout or Ctrl+C throws BenchFailure.
//
// Thread: main thread only.
class EventWait
{
public:
    // Returns once `done` is true; `done` is checked every few milliseconds
    // and may itself throw BenchFailure (a broken connection).
    static void Until(const std::function<bool()> &done, int timeoutMs, const QString &what);
    // Lets time pass while the event loop runs (Ctrl+C still ends it).
    static void Sleep(int ms);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
