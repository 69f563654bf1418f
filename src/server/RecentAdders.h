#pragma once

#include <chrono>
#include <thread>
#include <unordered_map>

namespace Orvane {
namespace Zendral {

// The threads that added jobs lately, as the journal's writer sees them (a
// client session is one thread). A session whose add was just answered
// usually sends its next one at once, so a group commit that waits until
// as many adds wait as there are recent adders covers them all with one
// flush.
//
// Thread: the journal's writer thread only.
class RecentAdders
{
public:
    using Clock = std::chrono::steady_clock;

    void Saw(std::thread::id adder, Clock::time_point at);
    // The adders seen within `window` before `now`; older ones are forgotten.
    int Count(Clock::time_point now, Clock::duration window);

private:
    std::unordered_map<std::thread::id, Clock::time_point> lastSeen;
};

} // namespace Zendral
} // namespace Orvane
