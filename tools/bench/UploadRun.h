#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

namespace Orvane {
namespace Zendral {
namespace Bench {

class ZendralService;

// Memory of large uploads: on an idle service, the peak resident size is
// reset, one large ADD_NESTER_JOB is sent, and the new peak is read; the
// stored job file is then compared with the document.
//
// Thread: main thread only.
class UploadRun
{
public:
    struct Upload
    {
        qint64 size = 0;
        bool accepted = false;
        QString refusal;
        // Resident size before the upload and its peak during it; -1 unknown.
        qint64 idleBytes = -1;
        qint64 peakBytes = -1;
        double replySeconds = 0;
        // "intact", or what is wrong with the stored file.
        QString stored;
    };

    // One upload after another, in the order of `sizes`, on `service`.
    static QVector<Upload> Run(ZendralService &service, const QVector<qint64> &sizes);

private:
    static Upload One(ZendralService &service, qint64 size, int n);
    // Compares the job file `name` of the client 127.0.3.1 with `document`.
    static QString CheckStored(const ZendralService &service, const QString &name, const QByteArray &document);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
