#pragma once

class QString;

namespace Orvane {
namespace Zendral {
namespace Bench {

// The run's output: results on standard output, progress on standard error
// (so that a long run can be watched and its results still be piped).
//
// Thread: main thread only.
class Console
{
public:
    static void Result(const QString &line);
    static void Progress(const QString &line);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
