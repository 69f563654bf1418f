#include "ChunkUploadDevice.h"

#include "PgConnection.h"

namespace Orvane {
namespace Zendral {

ChunkUploadDevice::ChunkUploadDevice(PgConnection &connection, const QString &job_id)
    : connection(connection)
    , job_id(job_id)
{
}

qint64 ChunkUploadDevice::readData(char *, qint64)
{
    return -1;
}

qint64 ChunkUploadDevice::writeData(const char *data, qint64 size)
{
    if (failed)
        return -1;
    qint64 taken = 0;
    while (taken < size) {
        const qint64 room = ChunkSize - pending.size();
        const qint64 part = qMin(room, size - taken);
        pending.append(data + taken, int(part));
        taken += part;
        if (pending.size() == ChunkSize) {
            if (!Store(pending))
                return -1;
            pending.clear();
        }
    }
    total += size;
    return size;
}

bool ChunkUploadDevice::Finish()
{
    if (failed)
        return false;
    if (!pending.isEmpty() || next == 0) {
        // An empty document is one empty row, so that a missing document
        // (no rows) stays distinguishable.
        if (!Store(pending))
            return false;
        pending.clear();
    }
    return true;
}

bool ChunkUploadDevice::Store(const QByteArray &chunk)
{
    failed = !connection.Run("INSERT INTO zendral_documents (job_id, n, data) VALUES ($1, $2, $3)",
                             {PgParam(job_id), PgParam(next), PgParam(chunk.isNull() ? QByteArray("") : chunk, true)});
    ++next;
    return !failed;
}

} // namespace Zendral
} // namespace Orvane
