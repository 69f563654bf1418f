#include "Console.h"

#include <QString>

#include <cstdio>

namespace Orvane {
namespace Zendral {
namespace Bench {

void Console::Result(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

void Console::Progress(const QString &line)
{
    std::fprintf(stderr, "  .. %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
