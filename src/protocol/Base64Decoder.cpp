#include "Base64Decoder.h"

namespace Orvane {
namespace Zendral {

namespace {

// The 6-bit value of a Base64 character, or -1 for a byte that is skipped.
int SextetOf(unsigned char c, bool url)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == (url ? '-' : '+'))
        return 62;
    if (c == (url ? '_' : '/'))
        return 63;
    return -1;
}

} // namespace

Base64Decoder::Base64Decoder(QByteArray::Base64Options options)
    : url(options & QByteArray::Base64UrlEncoding)
{
}

qint64 Base64Decoder::Decode(const char *in, qint64 size, char *out)
{
    qint64 written = 0;
    for (qint64 i = 0; i < size; ++i) {
        const int sextet = SextetOf(static_cast<unsigned char>(in[i]), url);
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
