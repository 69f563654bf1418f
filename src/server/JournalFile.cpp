#include "JournalFile.h"

#include <QtEndian>

#include <algorithm>

#include "NativePath.h"
#include "Platform.h"

#include <zlib.h>

namespace Orvane {
namespace Zendral {

namespace {


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

void JournalFile::FillHeader(QByteArray &record)
{
    const int size = record.size() - HeaderSize;
    char *data = record.data();
    qToLittleEndian<quint32>(quint32(size), data);
    qToLittleEndian<quint32>(Crc32(data + HeaderSize, size_t(size)), data + 4);
}

QList<QByteArray> JournalFile::ReadRecords(const QByteArray &bytes, qint64 *goodSize, bool *damaged)
{
    QList<QByteArray> records;
    qint64 at = 0;
    const qint64 total = bytes.size();
    while (total - at >= HeaderSize) {
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at);
        const quint32 crc = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        if (length == 0) // the zeros the file was grown by
            break;
        if (length > MaxPayload || total - at - HeaderSize < qint64(length))
            break;
        const char *payload = bytes.constData() + at + HeaderSize;
        if (Crc32(payload, length) != crc)
            break;
        records.append(QByteArray(payload, int(length)));
        at += HeaderSize + length;
    }
    *goodSize = at;
    *damaged = std::any_of(bytes.constData() + at, bytes.constData() + total, [](char c) { return c != 0; });
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
    size = allocated = file.size();
    if (!create)
        CutZeros();
    file.seek(size);
    return true;
}

// Zeros the file was grown by when it was last written (it was not closed:
// a crash) are cut off, so that records go on where the last one ended. A
// damaged end is left as it is, to the restore that reads it. A file whose
// last byte is not zero (closed, or cut back by the restore) is not read.
void JournalFile::CutZeros()
{
    char last = 0;
    if (size == 0 || !file.seek(size - 1) || !file.getChar(&last) || last != 0)
        return;
    qint64 good = 0;
    bool damaged = false;
    file.seek(0);
    ReadRecords(file.readAll(), &good, &damaged);
    if (!damaged && good < size && file.resize(good))
        size = allocated = good;
}

// Cuts off the zeros ahead of the records, so that the closed file holds
// its records alone (as earlier versions wrote it).
void JournalFile::Close()
{
    if (!file.isOpen())
        return;
    if (allocated > size)
        file.resize(size);
    file.close();
    allocated = size;
}

// Writes zeros from the end of the file until `needed` bytes and a step
// more are allocated. They reach the disk with the next flush, together
// with the first records written over them.
bool JournalFile::Grow(qint64 needed)
{
    const QByteArray zeros(64 * 1024, '\0');
    const qint64 target = needed + GrowthStep;
    if (!file.seek(allocated))
        return false;
    while (allocated < target) {
        const qint64 chunk = qMin<qint64>(zeros.size(), target - allocated);
        if (file.write(zeros.constData(), chunk) != chunk) {
            // Back to the records' end; the record is then appended plainly.
            file.resize(size);
            allocated = size;
            file.seek(size);
            return false;
        }
        allocated += chunk;
    }
    return file.seek(size);
}

bool JournalFile::Append(const QByteArray &bytes, bool closingAfter)
{
    if (!file.isOpen()) {
        error = QStringLiteral("journal not open");
        return false;
    }
    if (size + bytes.size() > allocated && !closingAfter)
        Grow(size + bytes.size());
    if (file.write(bytes) == bytes.size()) {
        size += bytes.size();
        allocated = qMax(allocated, size);
        return true;
    }
    error = file.errorString();
    // Cut off what part of the write landed, and the zeros ahead, so that
    // the next record does not follow a torn one (a restore stops at the
    // first damaged record).
    file.resize(size);
    allocated = size;
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
