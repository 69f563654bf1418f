#include "RecentAdders.h"

namespace Orvane {
namespace Zendral {

void RecentAdders::Saw(std::thread::id adder, Clock::time_point at)
{
    Clock::time_point &seen = lastSeen[adder];
    if (seen < at)
        seen = at;
}

int RecentAdders::Count(Clock::time_point now, Clock::duration window)
{
    for (auto it = lastSeen.begin(); it != lastSeen.end();) {
        if (now - it->second > window)
            it = lastSeen.erase(it);
        else
            ++it;
    }
    return int(lastSeen.size());
}

} // namespace Zendral
} // namespace Orvane
