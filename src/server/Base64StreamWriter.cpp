#include "Base64StreamWriter.h"

#include "Base64Decoder.h"

#include <QIODevice>

#include <memory>

namespace Orvane {
namespace Zendral {

bool Base64StreamWriter::Write(const char *text, qint64 size, QIODevice *device)
{
    Base64Decoder decoder(QByteArray::Base64Encoding);
    // Sized for this document (most are small), and left uninitialised: the
    // decoder writes what is written out.
    const qint64 step = qMin(ChunkSize, size);
    std::unique_ptr<char[]> chunk(new char[size_t(step / 4 * 3 + 4)]);
    for (qint64 done = 0; done < size;) {
        const qint64 take = qMin(step, size - done);
        const qint64 decoded = decoder.Decode(text + done, take, chunk.get());
        if (decoded > 0 && device->write(chunk.get(), decoded) != decoded)
            return false;
        done += take;
    }
    return true;
}

QByteArray Base64StreamWriter::AlphabetOnly(const char *text, qint64 size)
{
    QByteArray kept(int(size), Qt::Uninitialized);
    char *out = kept.data();
    for (qint64 i = 0; i < size; ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/')
            *out++ = c;
    }
    kept.truncate(int(out - kept.constData()));
    return kept;
}

} // namespace Zendral
} // namespace Orvane
