#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {

// The program's only log sink: every diagnostic message becomes one line of
// the day's log file in the "logs" folder beside the executable.
//
// Thread: any thread, no lock. Each call opens the file, appends one line and
// closes it again; nothing is kept between calls.
void LogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The log line for one message, without the line feed, e.g.
// "Sun Dec 6 20:15:13 2026 Debug: text (file.cpp:12, void f())".
QString FormatLogLine(QtMsgType type, const QMessageLogContext &context,
                      const QString &message, const QDateTime &now);

// The "logs" folder beside the executable (empty without an application object).
QString LogFolderPath();

// The day's log file name, e.g. "Sun Dec 6 2026.log".
QString LogFileName(const QDate &date);

} // namespace Zendral
} // namespace Orvane
