#include "LogHandler.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cstdio>
#include <ctime>

namespace Orvane {
namespace Zendral {

namespace {

const char *TypeName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug";
    case QtWarningMsg:
        return "Warning";
    case QtCriticalMsg:
        return "Critical";
    case QtFatalMsg:
        return "Fatal";
    case QtInfoMsg:
        break;
    }
    return "Info";
}

// The syslog priority the journal files the message under.
int JournalPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    case QtInfoMsg:
        break;
    }
    return 6;
}

// "Warning: text (file.cpp:12, void f())", or without the brackets.
// Whether a character could forge or disguise a line: control characters
// other than the line breaks and tabs of multi-line messages, the Unicode
// line and paragraph separators, and the bidirectional formatting marks.
bool Disguises(char16_t c)
{
    return (c < 0x20 && c != u'\n' && c != u'\t') || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029
        || c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Such characters are written as \u{XXXX}, so a client's text can neither
// start a line of its own nor turn the rest of a line around.
QString Escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (Disguises(c.unicode()))
            out += QStringLiteral("\\u{%1}").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString MessagePart(QtMsgType type, const QMessageLogContext &context, const QString &message, bool sourceInfo)
{
    const QString text = Escaped(QString::fromLocal8Bit(message.toLocal8Bit()));
    QString part = QLatin1String(TypeName(type)) + QStringLiteral(": ") + text;
    if (sourceInfo)
        part += QStringLiteral(" (%1:%2, %3)")
                    .arg(QString::fromLatin1(context.file), QString::number(context.line),
                         QString::fromLatin1(context.function));
    return part;
}

// Log files older than this many days are deleted at start-up.
const int LogKeepDays = 30;

// The folder chosen by SetUpLogFolder (empty until then) and the options.
// Guarded by folderMutex (written at start-up, read by every message).
QMutex folderMutex;
QString chosenFolder;
LogOptions options;

// Set while this thread is inside the handler: a message raised by the
// handler's own Qt calls would otherwise re-enter it without end.
thread_local bool insideHandler = false;

// The local date and time of now. Taken from the C library (localtime_r, or
// localtime_s on Windows, through the platform layer) rather than through
// QDateTime, whose local-time conversion calls tzset() each time: that frees
// and reallocates the C library's zone text, which other threads may be
// logging with at the same moment.
void LocalNow(QDate &date, QTime &time)
{
    const std::tm local = Platform::LocalTime(std::time(nullptr));
    date = QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    time = QTime(local.tm_hour, local.tm_min, qMin(local.tm_sec, 59)); // no leap second
}

QString FormatLine(QtMsgType type, const QMessageLogContext &context, const QString &message,
                   const QDate &date, const QTime &time, bool sourceInfo)
{
    // Qt's text form of a local date and time: the time goes between the
    // day of the month and the year ("Sun Dec 6 20:15:13 2026").
    QString stamp = date.toString(Qt::TextDate);
    stamp.insert(stamp.lastIndexOf(QLatin1Char(' ')),
                 QLatin1Char(' ') + time.toString(QStringLiteral("HH:mm:ss")));
    return stamp + QLatin1Char(' ') + MessagePart(type, context, message, sourceInfo);
}

// The day's log file, kept open between lines; guarded by fileMutex (taken
// after folderMutex is released, never together).
QMutex fileMutex;
QFile *openFile = nullptr;

// Opens the day's file unless it is the one open already and still there
// (a file deleted or moved meanwhile is opened anew). fileMutex held.
bool OpenLogFile(const QString &folder, const QDate &date)
{
    const QString path = QDir(folder).filePath(LogFileName(date));
    if (openFile && openFile->fileName() == path && QFile::exists(path))
        return true;
    delete openFile;
    openFile = nullptr;
    // A folder that cannot be made (a plain file of that name) drops the line.
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
        return false;
    auto *file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        delete file;
        return false;
    }
    openFile = file;
    return true;
}

void AppendLine(const QByteArray &line, const QDate &date)
{
    // Without an application object there is no executable folder to log
    // into (asking for it would itself print a warning); drop the message.
    const QString folder = LogFolderPath();
    if (folder.isEmpty())
        return;
    QMutexLocker locker(&fileMutex);
    if (!OpenLogFile(folder, date))
        return;
    // One unbuffered write per line, in append mode: lines stay whole, also
    // beside another process appending to the same file.
    openFile->write(line);
}

// Standard error is unbuffered: one fwrite is one system write, so lines
// from different threads stay whole there too.
void EchoLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

// The file's line, and on standard error the essential events (or every
// line while the files are off) in the terminal's or the journal's form.
void WriteMessage(QtMsgType type, const QMessageLogContext &context, const QString &message,
                  const LogOptions &now)
{
    QDate date;
    QTime time;
    LocalNow(date, time);
    const QByteArray line = FormatLine(type, context, message, date, time, now.sourceInfo).toLocal8Bit() + '\n';
    if (now.files)
        AppendLine(line, date);
    if (type == QtDebugMsg && now.files)
        return;
    if (now.journal)
        EchoLine(FormatJournalLine(type, context, message, now.sourceInfo).toLocal8Bit() + '\n');
    else
        EchoLine(line);
}

} // namespace

QString FormatLogLine(QtMsgType type, const QMessageLogContext &context,
                      const QString &message, const QDateTime &now, bool sourceInfo)
{
    return FormatLine(type, context, message, now.date(), now.time(), sourceInfo);
}

QString FormatJournalLine(QtMsgType type, const QMessageLogContext &context,
                          const QString &message, bool sourceInfo)
{
    // A message of several lines would reach the journal as several entries
    // at the default priority; one entry keeps its priority.
    QString part = MessagePart(type, context, message, sourceInfo);
    part.replace(QLatin1Char('\n'), QStringLiteral(" | "));
    return QStringLiteral("<%1>").arg(JournalPriority(type)) + part;
}

QLoggingCategory &lcRequests()
{
    static QLoggingCategory category("zendral.requests");
    return category;
}

void SetLogOptions(const LogOptions &chosen)
{
    QMutexLocker locker(&folderMutex);
    options = chosen;
    lcRequests().setEnabled(QtDebugMsg, chosen.debug);
}

LogOptions CurrentLogOptions()
{
    QMutexLocker locker(&folderMutex);
    return options;
}

bool StandardErrorIsJournal()
{
    return !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
}

QString LogFolderPath()
{
    {
        QMutexLocker locker(&folderMutex);
        if (!chosenFolder.isEmpty())
            return chosenFolder;
    }
    if (QCoreApplication::instance() == nullptr)
        return QString();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/logs");
}

QString ChooseLogFolder(const QString &executableFolder, const QString &fallbackFolder)
{
    QDir dir(executableFolder);
    const QString beside = dir.filePath(QStringLiteral("logs"));
    const bool made = QFileInfo(beside).isDir() || dir.mkdir(QStringLiteral("logs"));
    if (made && QFileInfo(beside).isWritable())
        return beside;
    QDir().mkpath(fallbackFolder);
    return fallbackFolder;
}

QString SetUpLogFolder(const QString &executableFolder)
{
    const QString fallback = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/logs");
    const QString folder = ChooseLogFolder(executableFolder, fallback);
    {
        QMutexLocker locker(&folderMutex);
        chosenFolder = folder;
    }
    QDate today;
    QTime now;
    LocalNow(today, now);
    RemoveOldLogFiles(folder, today, LogKeepDays);
    return folder;
}

int RemoveOldLogFiles(const QString &folder, const QDate &today, int keepDays)
{
    const QString suffix = QStringLiteral(".log");
    const QFileInfoList files = QDir(folder).entryInfoList(
        {QLatin1Char('*') + suffix}, QDir::Files | QDir::NoSymLinks);
    int removed = 0;
    for (const QFileInfo &info : files) {
        const QString name = info.fileName();
        const QDate date = QDate::fromString(name.chopped(suffix.size()), Qt::TextDate);
        // Only a name this program would have written counts as a log file.
        if (!date.isValid() || LogFileName(date) != name)
            continue;
        if (date.daysTo(today) > keepDays && QFile::remove(info.absoluteFilePath()))
            ++removed;
    }
    return removed;
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
        const LogOptions now = CurrentLogOptions();
        if (type != QtDebugMsg || now.debug)
            WriteMessage(type, context, message, now);
    } catch (...) {
        // The handler never throws; a message it cannot write is dropped.
    }
    insideHandler = false;
}

} // namespace Zendral
} // namespace Orvane
