#include "LogHandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <ctime>

namespace Orvane {
namespace Zendral {

namespace {

const char *LineForm(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "%1 Debug: %2 (%3:%4, %5)";
    case QtWarningMsg:
        return "%1 Warning: %2 (%3:%4, %5)";
    case QtCriticalMsg:
        return "%1 Critical: %2 (%3:%4, %5)";
    case QtFatalMsg:
        return "%1 Fatal: %2 (%3:%4, %5)";
    case QtInfoMsg:
        break;
    }
    // The program does not emit info messages; log them like the others.
    return "%1 Info: %2 (%3:%4, %5)";
}

// Set while this thread is inside the handler: a message raised by the
// handler's own Qt calls would otherwise re-enter it without end.
thread_local bool insideHandler = false;

// The local date and time of now. Taken from the C library's localtime_r
// rather than through QDateTime, whose local-time conversion calls tzset()
// each time: that frees and reallocates the C library's zone text, which
// other threads may be logging with at the same moment.
void LocalNow(QDate &date, QTime &time)
{
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
#ifdef Q_OS_WIN
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    date = QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    time = QTime(local.tm_hour, local.tm_min, qMin(local.tm_sec, 59)); // no leap second
}

QString FormatLine(QtMsgType type, const QMessageLogContext &context, const QString &message,
                   const QDate &date, const QTime &time)
{
    const QString text = QString::fromLocal8Bit(message.toLocal8Bit());
    // Qt's text form of a local date and time: the time goes between the
    // day of the month and the year ("Sun Dec 6 20:15:13 2026").
    QString stamp = date.toString(Qt::TextDate);
    stamp.insert(stamp.lastIndexOf(QLatin1Char(' ')),
                 QLatin1Char(' ') + time.toString(QStringLiteral("HH:mm:ss")));
    // One pass over the form: a "%1" inside the message text stays literal.
    return QString::fromLatin1(LineForm(type))
        .arg(stamp,
             text,
             QString::fromLatin1(context.file),
             QString::number(context.line),
             QString::fromLatin1(context.function));
}

void AppendLine(const QString &line, const QDate &date)
{
    // Without an application object there is no executable folder to log
    // into (asking for it would itself print a warning); drop the message.
    if (QCoreApplication::instance() == nullptr)
        return;
    QDir dir(QCoreApplication::applicationDirPath());
    if (!dir.exists(QStringLiteral("logs")))
        dir.mkdir(QStringLiteral("logs"));
    if (!dir.cd(QStringLiteral("logs")))
        return;
    QFile file(dir.filePath(LogFileName(date)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    // One write per line keeps lines from different threads whole as far as
    // the system's appends are atomic.
    file.write(line.toLocal8Bit() + '\n');
    file.close();
}

} // namespace

QString FormatLogLine(QtMsgType type, const QMessageLogContext &context,
                      const QString &message, const QDateTime &now)
{
    return FormatLine(type, context, message, now.date(), now.time());
}

QString LogFolderPath()
{
    if (QCoreApplication::instance() == nullptr)
        return QString();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/logs");
}

QString LogFileName(const QDate &date)
{
    return date.toString(Qt::TextDate) + QStringLiteral(".log");
}

void LogMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (insideHandler)
        return;
    insideHandler = true;
    try {
        QDate date;
        QTime time;
        LocalNow(date, time);
        AppendLine(FormatLine(type, context, message, date, time), date);
    } catch (...) {
        // The handler never throws; a message it cannot write is dropped.
    }
    insideHandler = false;
}

} // namespace Zendral
} // namespace Orvane
