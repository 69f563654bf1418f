#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// What every front end of the service does at start-up, before the core is
// built: private files, the data folder's mode, and the log files.
//
// Thread: the main thread, before any other thread runs.
class ServiceStartup
{
public:
    // Job documents, results and the queue backup (which holds every job id)
    // are the service user's alone: folders 0700, files 0600.
    static void MakeFilesPrivate();
    // A data folder made by an older version may be open to everyone.
    static void MakeDataFolderPrivate();
    // Installs the log handler and returns the log folder it writes to.
    static QString StartLogging(const QString &program);
};

} // namespace Zendral
} // namespace Orvane
