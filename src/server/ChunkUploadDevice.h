#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

namespace Orvane {
namespace Zendral {

class PgConnection;

// A write-only device that stores what is written to it as a job's document
// in the shared queue's database, in rows of 1 MiB (zendral_documents), so
// that a large document passes through memory one piece at a time. Writes
// go through the caller's connection, inside its transaction.
//
// Thread: the thread that owns the connection.
class ChunkUploadDevice : public QIODevice
{
public:
    static constexpr int ChunkSize = 1024 * 1024;

    ChunkUploadDevice(PgConnection &connection, const QString &job_id);

    // Stores what is left; false when a row could not be written.
    bool Finish();
    qint64 Written() const { return total; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool Store(const QByteArray &chunk);

    PgConnection &connection;
    const QString job_id;
    QByteArray pending;
    int next = 0;
    qint64 total = 0;
    bool failed = false;
};

} // namespace Zendral
} // namespace Orvane
