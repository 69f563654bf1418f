#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace Orvane {
namespace Zendral {

// One segment of the queue's journal: a file of records, each a 4-byte
// length, a 4-byte CRC-32 of the payload (both little-endian) and the
// payload. A record cut off by a crash, or damaged, fails its length or
// checksum and ends the readable part of the file.
//
// The file is grown ahead of its records in steps of zeros, as databases do
// with their write-ahead logs: a record then overwrites blocks that are
// already allocated and written, so its flush writes the data alone and not
// the file's new size and block map (on a journalling file system about half
// the flush's time). A zero header (length 0, which no record has) marks the
// end of the records; Close() cuts the zeros off again.
//
// Thread: one thread at a time (the store's writer, or the start-up load).
class JournalFile
{
public:
    // The largest payload a record may have (a job's record is far smaller).
    static constexpr quint32 MaxPayload = 16 * 1024 * 1024;

    // The bytes of a record (header and payload) that carries `payload`.
    static QByteArray Frame(const QByteArray &payload);
    // The same for a payload written behind HeaderSize bytes kept free at
    // the front of `record`: the header is filled in there, in place.
    static void FillHeader(QByteArray &record);
    static constexpr int HeaderSize = 8;
    // The CRC-32 (IEEE) the records carry; the store's backup id uses it too.
    static quint32 Crc32(const char *data, size_t size);
    // The payloads of the whole records at the start of `bytes`; *goodSize
    // is the size of that part, *damaged whether something other than the
    // zeros ahead of the records followed it.
    static QList<QByteArray> ReadRecords(const QByteArray &bytes, qint64 *goodSize, bool *damaged);

    ~JournalFile();

    // Opens for appending (creating when `create`), at the end.
    bool Open(const QString &path, bool create);
    void Close();
    QString Path() const { return file.fileName(); }
    qint64 Size() const { return size; }
    // Appends whole or not at all: a failed write is cut off again. With
    // `closingAfter` (the file is closed next) a record that does not fit in
    // the zeros ahead is appended plainly: zeros written now would only be
    // flushed and cut off again.
    bool Append(const QByteArray &bytes, bool closingAfter = false);
    // The bytes the file takes on disk: its records and the zeros ahead.
    qint64 Allocated() const { return allocated; }
    // Flushes the file's data to stable storage.
    bool Sync();
    QString ErrorString() const { return error; }

    // Flushes a file or a folder entry to stable storage (Unix: fsync of the
    // folder; Windows flushes folder entries with the file).
    static bool SyncPath(const QString &path, bool folder);

    // The zeros the file grows by when a record does not fit ahead.
    static constexpr qint64 GrowthStep = 4 * 1024 * 1024;

private:
    bool Grow(qint64 needed);
    void CutZeros();

    QFile file;
    qint64 size = 0;      // the end of the records
    qint64 allocated = 0; // the file's size: the records and zeros ahead
    QString error;
};

} // namespace Zendral
} // namespace Orvane
