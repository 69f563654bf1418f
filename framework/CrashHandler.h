#pragma once

#include <QString>

namespace Orvane {

// Records a crash (fatal signal, or on Windows an unhandled structured
// exception) as one line in the day's log file (in the given log folder, by
// default "logs" beside the executable), then lets the process die as it
// would have.
//
// Thread: Init on the main thread; the handler runs on the crashing thread.
class CrashHandler
{
public:
    static CrashHandler *instance();

    // Installs the handler; later calls refresh the precomputed log folder.
    // logFolder: the folder the log handler writes to; empty for "logs"
    // beside the executable.
    void Init(const QString &logFolder = QString());

private:
    CrashHandler() = default;
};

} // namespace Orvane
