#pragma once

#include <QDate>
#include <QDateTime>
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {

// How the handler writes; set once by the program's start-up (SetLogOptions)
// from its settings and surroundings. The defaults are what the handler does
// without being told: every message, day files, source places.
struct LogOptions
{
    bool journal = false;    // standard error is the system journal: "<N>" priorities, no time stamp
    bool debug = true;       // debug messages are logged (log/level=debug); otherwise dropped
    bool files = true;       // the day files in the log folder (log/files)
    bool sourceInfo = true;  // source file, line and function in each line (debug builds)
};

// The program's only log sink: every diagnostic message becomes one line of
// the day's log file in the log folder (see SetUpLogFolder), unless the files
// are off. Messages of type info, warning, critical and fatal are also
// written to standard error, one line each, so that the essential events
// reach a terminal or the system journal; debug messages go there only when
// the files are off. On the journal each line starts with its priority
// ("<7>" debug to "<2>" fatal) and has no time stamp, which the journal adds.
//
// Thread: any thread. The day's file is kept open between lines (opened
// anew when the day, the folder or the file changes), under its own lock;
// the folder chosen at start-up and the options are read under another.
void LogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The debug lines of every request and every job added: qCDebug builds a
// line only while the category is on, which SetLogOptions makes it with
// `debug`, so that at the default level a request costs no formatting.
QLoggingCategory &lcRequests();

// Sets how the handler writes (start-up, before other threads log).
void SetLogOptions(const LogOptions &options);
LogOptions CurrentLogOptions();

// Whether standard error is the system journal: systemd sets JOURNAL_STREAM
// for a service whose standard error it connects to the journal.
bool StandardErrorIsJournal();

// Chooses the log folder and keeps it for the handler: "logs" beside the
// executable when it is a folder there or can be made there and is writable
// (a build folder, a portable copy), otherwise "logs" in the per-user data
// folder (QStandardPaths::AppDataLocation), as for an installed program whose
// folder is read-only. Then deletes the log files older than 30 days in the
// chosen folder (RemoveOldLogFiles). Called once by start-up, after the
// application is named and before other threads log. Returns the folder.
QString SetUpLogFolder(const QString &executableFolder);

// The folder SetUpLogFolder would choose for executableFolder, with the given
// fallback; makes it when it is missing.
QString ChooseLogFolder(const QString &executableFolder, const QString &fallbackFolder);

// Deletes from folder (not below it) the regular files named exactly like
// this program's log files (LogFileName of some date) whose date lies more
// than keepDays days before today. Nothing else is touched. Returns how many
// files were deleted.
int RemoveOldLogFiles(const QString &folder, const QDate &today, int keepDays);

// The log line for one message, without the line feed, e.g.
// "Sun Dec 6 20:15:13 2026 Debug: text (file.cpp:12, void f())".
// Without sourceInfo the part in brackets is left out.
QString FormatLogLine(QtMsgType type, const QMessageLogContext &context,
                      const QString &message, const QDateTime &now, bool sourceInfo = true);

// The journal's line for one message, e.g. "<4>Warning: text": the syslog
// priority first (debug 7, info 6, warning 4, critical 3, fatal 2), no time.
QString FormatJournalLine(QtMsgType type, const QMessageLogContext &context,
                          const QString &message, bool sourceInfo);

// The folder the handler writes to: the one SetUpLogFolder chose, otherwise
// "logs" beside the executable (empty without an application object).
QString LogFolderPath();

// The day's log file name, e.g. "Sun Dec 6 2026.log".
QString LogFileName(const QDate &date);

} // namespace Zendral
} // namespace Orvane
