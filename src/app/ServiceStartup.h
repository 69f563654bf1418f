#pragma once

#include "ServiceConfig.h"

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
    // Local times (job folder names, the job list) without a check of the
    // system's zone file on every conversion; see Platform. Start of main.
    static void ReadTimeZoneOnce();
    // A data folder made by an older version may be open to everyone.
    static void MakeDataFolderPrivate();
    // Installs the log handler with the program's log settings (log/level,
    // log/files), in the journal's form when standard error is the journal,
    // with source places in debug builds only; returns the log folder (also
    // where crash reports go while the day files are off).
    static QString StartLogging(const QString &program, const ServiceConfig &config);
};

} // namespace Zendral
} // namespace Orvane
