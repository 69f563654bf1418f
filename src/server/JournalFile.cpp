#include "JournalFile.h"

#include <QtEndian>

#include "NativePath.h"
#include "Platform.h"

#include <zlib.h>

namespace Orvane {
namespace Zendral {

namespace {

constexpr int HeaderSize = 8;

} // namespace

// zlib's crc32 is the CRC-32 of IEEE 802.3 (reflected, initial and final
// value 0xFFFFFFFF), the checksum the journal files have always carried.
quint32 JournalFile::Crc32(const char *data, size_t size)
{
    return quint32(crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(data), size));
}

QByteArray JournalFile::Frame(const QByteArray &payload)
{
    QByteArray framed(HeaderSize + payload.size(), Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payload.size()), framed.data());
    qToLittleEndian<quint32>(Crc32(payload.constData(), size_t(payload.size())), framed.data() + 4);
    memcpy(framed.data() + HeaderSize, payload.constData(), size_t(payload.size()));
    return framed;
}

QList<QByteArray> JournalFile::ReadRecords(const QByteArray &bytes, qint64 *goodSize, bool *damaged)
{
    QList<QByteArray> records;
    qint64 at = 0;
    const qint64 total = bytes.size();
    while (total - at >= HeaderSize) {
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at);
        const quint32 crc = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        if (length > MaxPayload || total - at - HeaderSize < qint64(length))
            break;
        const char *payload = bytes.constData() + at + HeaderSize;
        if (Crc32(payload, length) != crc)
            break;
        records.append(QByteArray(payload, int(length)));
        at += HeaderSize + length;
    }
    *goodSize = at;
    *damaged = at != total;
    return records;
}

JournalFile::~JournalFile()
{
    Close();
}

bool JournalFile::Open(const QString &path, bool create)
{
    Close();
    file.setFileName(path);
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (!create && !file.exists()) {
        error = QStringLiteral("no such file");
        return false;
    }
    if (!file.open(mode)) {
        error = file.errorString();
        return false;
    }
    size = file.size();
    file.seek(size);
    return true;
}

void JournalFile::Close()
{
    if (file.isOpen())
        file.close();
}

bool JournalFile::Append(const QByteArray &bytes)
{
    if (!file.isOpen()) {
        error = QStringLiteral("journal not open");
        return false;
    }
    if (file.write(bytes) == bytes.size()) {
        size += bytes.size();
        return true;
    }
    error = file.errorString();
    // Cut off what part of the write landed, so that the next record does
    // not follow a torn one (a restore stops at the first damaged record).
    file.resize(size);
    file.seek(size);
    return false;
}

bool JournalFile::Sync()
{
    if (!file.isOpen())
        return false;
    std::string reason;
    if (Platform::FlushFile(file.handle(), &reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool JournalFile::SyncPath(const QString &path, bool folder)
{
    return Platform::FlushPath(NativePath(path), folder);
}

} // namespace Zendral
} // namespace Orvane
