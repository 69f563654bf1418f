// zendral-bench: measures the Zendral job service against beanstalkd with the
// same client code and prints the results next to their targets.

#include "BenchFailure.h"
#include "BenchOptions.h"
#include "BenchRun.h"
#include "Interruption.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Orvane::Zendral::Bench;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zendral-bench"));
    BenchOptions options;
    QString text;
    switch (BenchOptions::Parse(QCoreApplication::arguments(), options, text)) {
    case BenchOptions::Outcome::Help:
        std::fprintf(stdout, "%s", text.toLocal8Bit().constData());
        return 0;
    case BenchOptions::Outcome::Error:
        std::fprintf(stderr, "zendral-bench: %s\n(see zendral-bench --help)\n", text.toLocal8Bit().constData());
        return 64;
    case BenchOptions::Outcome::Run:
        break;
    }
    Interruption::Install();
    try {
        BenchRun(options).Execute();
    } catch (const BenchFailure &failure) {
        if (Interruption::Requested()) {
            // Ctrl+C also reaches the servers, which may have ended first.
            std::fprintf(stderr, "zendral-bench: interrupted\n");
            return 130;
        }
        std::fprintf(stderr, "zendral-bench: %s\n", failure.message.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
