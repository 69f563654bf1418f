#include "Interruption.h"

#include <csignal>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// The only state a signal handler may touch portably.
volatile std::sig_atomic_t requested = 0;

extern "C" void OnSignal(int)
{
    requested = 1;
}
} // namespace

void Interruption::Install()
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool Interruption::Requested()
{
    return requested != 0;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
