#pragma once

namespace Orvane {

// Records a crash (fatal signal, or on Windows an unhandled structured
// exception) as one line in the day's log file beside the executable, then
// lets the process die as it would have.
//
// Thread: Init on the main thread; the handler runs on the crashing thread.
class CrashHandler
{
public:
    static CrashHandler *instance();

    // Installs the handler; later calls refresh the precomputed log folder.
    void Init();

private:
    CrashHandler() = default;
};

} // namespace Orvane
