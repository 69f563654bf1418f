#include "Base64Decoder.h"

namespace Orvane {
namespace Zendral {

namespace {

// The 6-bit value of each byte in one alphabet, or -1 for a byte that is skipped.
struct SextetTable
{
    signed char value[256];

    constexpr explicit SextetTable(bool url)
        : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = -1;
        for (int c = 'A'; c <= 'Z'; ++c)
            value[c] = static_cast<signed char>(c - 'A');
        for (int c = 'a'; c <= 'z'; ++c)
            value[c] = static_cast<signed char>(c - 'a' + 26);
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<signed char>(c - '0' + 52);
        value[url ? int('-') : int('+')] = 62;
        value[url ? int('_') : int('/')] = 63;
    }
};

constexpr SextetTable StandardSextets(false);
constexpr SextetTable UrlSextets(true);

} // namespace

Base64Decoder::Base64Decoder(QByteArray::Base64Options options)
    : url(options & QByteArray::Base64UrlEncoding)
{
}

// Whole groups of four alphabet characters go three bytes at a time; any
// other byte (skipped ones, a group cut by the end of a piece) goes alone.
qint64 Base64Decoder::Decode(const char *in, qint64 size, char *out)
{
    const signed char *sextets = url ? UrlSextets.value : StandardSextets.value;
    const auto *bytes = reinterpret_cast<const unsigned char *>(in);
    qint64 written = 0;
    qint64 i = 0;
    while (i < size) {
        if (bitCount == 0 && i + 4 <= size) {
            const int a = sextets[bytes[i]], b = sextets[bytes[i + 1]], c = sextets[bytes[i + 2]],
                      d = sextets[bytes[i + 3]];
            if ((a | b | c | d) >= 0) {
                const quint32 group = quint32(a) << 18 | quint32(b) << 12 | quint32(c) << 6 | quint32(d);
                out[written] = char(group >> 16);
                out[written + 1] = char(group >> 8);
                out[written + 2] = char(group);
                written += 3;
                i += 4;
                continue;
            }
        }
        const int sextet = sextets[bytes[i++]];
        if (sextet < 0)
            continue;
        bits = (bits << 6) | quint32(sextet);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out[written++] = char(bits >> bitCount);
            bits &= (1u << bitCount) - 1u;
        }
    }
    return written;
}

qint64 Base64Decoder::DecodeInPlace(char *data, qint64 size, QByteArray::Base64Options options)
{
    Base64Decoder decoder(options);
    return decoder.Decode(data, size, data);
}

} // namespace Zendral
} // namespace Orvane
