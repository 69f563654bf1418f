#pragma once

namespace Orvane {
namespace Zendral {
namespace Bench {

// Ctrl+C and termination requests. The signal handler only sets a flag; the
// waits of the run look at it and end the run, so that every server it
// started is stopped and the scratch folder removed.
//
// Thread: Install and Requested on the main thread; the handler runs on
// whichever thread the system picks and touches only the flag.
class Interruption
{
public:
    // Catches SIGINT and SIGTERM.
    static void Install();
    static bool Requested();
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
