#include "Base64StreamWriter.h"

#include "Base64Decoder.h"

#include <QIODevice>

#include <vector>

namespace Orvane {
namespace Zendral {

bool Base64StreamWriter::Write(const char *text, qint64 size, QIODevice *device)
{
    Base64Decoder decoder(QByteArray::Base64Encoding);
    std::vector<char> chunk(size_t(ChunkSize / 4 * 3 + 4));
    for (qint64 done = 0; done < size;) {
        const qint64 take = qMin(ChunkSize, size - done);
        const qint64 decoded = decoder.Decode(text + done, take, chunk.data());
        if (decoded > 0 && device->write(chunk.data(), decoded) != decoded)
            return false;
        done += take;
    }
    return true;
}

} // namespace Zendral
} // namespace Orvane
