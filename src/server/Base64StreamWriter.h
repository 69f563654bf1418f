#pragma once

#include <QByteArray>

class QIODevice;

namespace Orvane {
namespace Zendral {

// Decodes standard Base64 text into a device piece by piece, so that a large
// upload is never held decoded in memory as a whole. Bytes outside the
// alphabet are skipped, as QByteArray::fromBase64 skips them.
//
// Thread: plain functions; any thread, one device at a time.
class Base64StreamWriter
{
public:
    // Input bytes decoded per write: 1 MiB of text, 768 KiB written at once.
    static constexpr qint64 ChunkSize = 1024 * 1024;

    // Decodes text[0, size) into `device`; false when a write fails.
    static bool Write(const char *text, qint64 size, QIODevice *device);
    // The bytes of text[0, size) that carry data (the alphabet, no padding):
    // the same document, in text that needs no escaping anywhere.
    static QByteArray AlphabetOnly(const char *text, qint64 size);
};

} // namespace Zendral
} // namespace Orvane
