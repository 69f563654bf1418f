#pragma once

#include <QByteArray>

namespace Orvane {
namespace Zendral {

// Decodes Base64 (standard or URL alphabet) exactly as
// QByteArray::fromBase64 does without strict checking: every byte outside
// the alphabet, '=' included, is skipped, and a trailing group of fewer than
// 8 bits is dropped. It keeps its state between calls, so a long text can be
// decoded piece by piece, and it may write over its own input, so a buffer
// can be decoded in place with no second copy.
//
// Thread: a plain value; one thread uses an object at a time.
class Base64Decoder
{
public:
    explicit Base64Decoder(QByteArray::Base64Options options = QByteArray::Base64Encoding);

    // Decodes `size` bytes of `in` into `out`, which must have room for
    // size * 3 / 4 + 1 bytes; returns how many bytes were written. `out` may
    // be `in` itself, or any place before it: the output never overtakes the
    // input.
    qint64 Decode(const char *in, qint64 size, char *out);

    // Decodes data[0, size) in place; returns the decoded length.
    static qint64 DecodeInPlace(char *data, qint64 size,
                                QByteArray::Base64Options options = QByteArray::Base64Encoding);

private:
    bool url;
    quint32 bits = 0;
    int bitCount = 0;
};

} // namespace Zendral
} // namespace Orvane
