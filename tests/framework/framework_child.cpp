// Test helper: "--help"/"--version" go through processCommandLine; "segv",
// "abort" and "null" install the crash handler and crash that way; anything
// else prints "normal" and exits with 3.
#include "CrashHandler.h"
#include "VelApplication.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    Orvane::VelApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Zendral"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    const int handled = app.processCommandLine(arguments);
    if (handled != -1)
        return handled;

    Orvane::CrashHandler::instance()->Init();
    if (arguments.contains(QLatin1String("segv")))
        std::raise(SIGSEGV);
    if (arguments.contains(QLatin1String("abort")))
        std::abort();
    if (arguments.contains(QLatin1String("null"))) {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    std::puts("normal");
    return 3;
}
