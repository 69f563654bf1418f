#include "BenchDocument.h"

#include <cstring>
#include <random>

namespace Orvane {
namespace Zendral {
namespace Bench {

QByteArray BenchDocument::Make(qint64 size, quint64 seed)
{
    QByteArray document(int(size), Qt::Uninitialized);
    std::mt19937_64 random(seed);
    char *out = document.data();
    qint64 left = size;
    while (left > 0) {
        const quint64 word = random();
        const int take = int(qMin<qint64>(left, sizeof word));
        std::memcpy(out, &word, size_t(take));
        out += take;
        left -= take;
    }
    return document;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
