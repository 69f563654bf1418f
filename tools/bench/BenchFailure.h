#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {
namespace Bench {

// Ends a benchmark run that cannot go on (a server that does not start, a
// connection that breaks, a wait that times out, Ctrl+C). Thrown on the
// main thread; main() prints it and the run's objects stop what they started
// as the stack unwinds.
struct BenchFailure
{
    QString message;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
