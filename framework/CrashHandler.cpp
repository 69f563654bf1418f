#include "CrashHandler.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>

#include <csignal>
#include <cstring>
#include <ctime>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(__GLIBC__)
#include <execinfo.h>
#define ZENDRAL_HAVE_BACKTRACE 1
#endif

namespace Orvane {

namespace {

// Everything the handler needs, worked out at Init, so that the handler
// itself only formats into fixed buffers and calls open/write/close.
// Written on the main thread before the handler is installed; read only by
// the handler afterwards.
struct CrashState
{
    char folder[4096] = {};   // the logs folder, in the file system's encoding
    char days[7][32] = {};    // short day names as the log file names use them, Sunday first
    char months[12][32] = {}; // short month names, January first
};

CrashState state;

void CopyName(char *target, size_t size, const QByteArray &text)
{
    std::strncpy(target, text.constData(), size - 1);
    target[size - 1] = '\0';
}

// The names of days and months exactly as Qt's text date form writes them,
// so that the crash line lands in the same file as the log handler's lines.
void PrecomputeNames()
{
    const QDate sunday(2023, 1, 1); // a Sunday
    for (int i = 0; i < 7; ++i) {
        const QString text = sunday.addDays(i).toString(Qt::TextDate);
        CopyName(state.days[i], sizeof state.days[i],
                 QFile::encodeName(text.section(QLatin1Char(' '), 0, 0)));
    }
    for (int i = 0; i < 12; ++i) {
        const QString text = QDate(2023, i + 1, 1).toString(Qt::TextDate);
        CopyName(state.months[i], sizeof state.months[i],
                 QFile::encodeName(text.section(QLatin1Char(' '), 1, 1)));
    }
}

// Bounded text building without the C library's formatting functions.
struct Buffer
{
    char data[8192];
    size_t used = 0;

    void add(const char *text)
    {
        while (*text && used + 1 < sizeof data)
            data[used++] = *text++;
        data[used] = '\0';
    }
    void addNumber(long value, int width = 0)
    {
        char digits[24];
        int count = 0;
        const bool negative = value < 0;
        unsigned long rest = negative ? 0UL - static_cast<unsigned long>(value)
                                      : static_cast<unsigned long>(value);
        do {
            digits[count++] = char('0' + rest % 10);
            rest /= 10;
        } while (rest != 0 && count < 20);
        while (count < width && count < 20)
            digits[count++] = '0';
        if (negative)
            digits[count++] = '-';
        char text[24];
        for (int i = 0; i < count; ++i)
            text[i] = digits[count - 1 - i];
        text[count] = '\0';
        add(text);
    }
    void addHex(unsigned long long value)
    {
        char text[24] = "0x";
        char digits[20];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % 16];
            value /= 16;
        } while (value != 0 && count < 16);
        for (int i = 0; i < count; ++i)
            text[2 + i] = digits[count - 1 - i];
        text[2 + count] = '\0';
        add(text);
    }
};

// "Sun Dec 6 20:15:13 2026", the log handler's time form; the file name
// takes the date part only.
void AddDate(Buffer &out, const std::tm &now, bool withTime)
{
    out.add(state.days[(now.tm_wday + 7) % 7]);
    out.add(" ");
    out.add(state.months[(now.tm_mon + 12) % 12]);
    out.add(" ");
    out.addNumber(now.tm_mday);
    out.add(" ");
    if (withTime) {
        out.addNumber(now.tm_hour, 2);
        out.add(":");
        out.addNumber(now.tm_min, 2);
        out.add(":");
        out.addNumber(now.tm_sec, 2);
        out.add(" ");
    }
    out.addNumber(now.tm_year + 1900L);
}

std::tm LocalNow()
{
    std::tm now{};
    const std::time_t seconds = std::time(nullptr);
#ifdef Q_OS_WIN
    localtime_s(&now, &seconds);
#else
    localtime_r(&seconds, &now);
#endif
    return now;
}

#ifndef Q_OS_WIN

const char *SignalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV (segmentation fault)";
    case SIGABRT: return "SIGABRT (abort)";
    case SIGBUS: return "SIGBUS (bus error)";
    case SIGFPE: return "SIGFPE (arithmetic error)";
    case SIGILL: return "SIGILL (illegal instruction)";
    default: return "unknown signal";
    }
}

const int CrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

// Room to run the handler when the crash is a stack overflow.
char alternateStack[64 * 1024];

void WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= size_t(written);
    }
}

void WriteCrashLine(int sig);

void OnCrashSignal(int sig)
{
    if (state.folder[0] != '\0')
        WriteCrashLine(sig);

    // Die as the process would have without the handler: the default action
    // is back in place (SA_RESETHAND); the signal, blocked while the handler
    // runs, is delivered again when it returns.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void WriteCrashLine(int sig)
{
    const std::tm now = LocalNow();
    Buffer path;
    path.add(state.folder);
    ::mkdir(path.data, 0755); // may exist already
    path.add("/");
    AddDate(path, now, false);
    path.add(".log");

    const int fd = ::open(path.data, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        Buffer line;
        AddDate(line, now, true);
        line.add(" Fatal: Crash: signal ");
        line.addNumber(sig);
        line.add(" ");
        line.add(SignalName(sig));
#ifdef ZENDRAL_HAVE_BACKTRACE
        // The backtrace follows as indented continuation lines, one frame each.
        void *frames[64];
        const int count = ::backtrace(frames, 64);
        line.add("; backtrace:\n");
        WriteAll(fd, line.data, line.used);
        for (int i = 0; i < count; ++i) {
            WriteAll(fd, "    ", 4);
            ::backtrace_symbols_fd(&frames[i], 1, fd);
        }
#else
        line.add("\n");
        WriteAll(fd, line.data, line.used);
#endif
        ::close(fd);
    }
}

void InstallHandler()
{
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action{};
    action.sa_handler = OnCrashSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    for (int sig : CrashSignals)
        ::sigaction(sig, &action, nullptr);
}

#else // Q_OS_WIN

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS *info)
{
    if (state.folder[0] == '\0')
        return EXCEPTION_CONTINUE_SEARCH;
    const std::tm now = LocalNow();
    Buffer path;
    path.add(state.folder);
    ::CreateDirectoryA(path.data, nullptr); // may exist already
    path.add("\\");
    AddDate(path, now, false);
    path.add(".log");

    HANDLE file = ::CreateFileA(path.data, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        Buffer line;
        AddDate(line, now, true);
        line.add(" Fatal: Crash: unhandled exception ");
        line.addHex(info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0);
        line.add(" at ");
        line.addHex(info && info->ExceptionRecord
                        ? reinterpret_cast<ULONG_PTR>(info->ExceptionRecord->ExceptionAddress)
                        : 0);
        line.add("\n");
        DWORD written = 0;
        ::WriteFile(file, line.data, DWORD(line.used), &written, nullptr);
        ::CloseHandle(file);
    }
    // Let the system end the process as it would have.
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallHandler()
{
    ::SetUnhandledExceptionFilter(OnUnhandledException);
}

#endif

} // namespace

CrashHandler *CrashHandler::instance()
{
    static CrashHandler handler;
    return &handler;
}

void CrashHandler::Init(const QString &logFolder)
{
    // Without an application object there is no executable folder: the
    // handler is installed but records nothing, like the log handler.
    QString folder = logFolder;
    if (folder.isEmpty() && QCoreApplication::instance())
        folder = QCoreApplication::applicationDirPath() + QStringLiteral("/logs");
    CopyName(state.folder, sizeof state.folder,
             QFile::encodeName(QDir::toNativeSeparators(folder)));
    PrecomputeNames();
    (void)LocalNow(); // loads the time zone before any crash
#ifdef ZENDRAL_HAVE_BACKTRACE
    // The first backtrace loads the unwinder, which allocates; do it now.
    void *frames[2];
    ::backtrace(frames, 2);
#endif
    InstallHandler();
}

} // namespace Orvane
