#include "UploadRun.h"

#include "BenchClient.h"
#include "BenchDocument.h"
#include "ClientGroup.h"
#include "Console.h"
#include "EventWait.h"
#include "ProcessStats.h"
#include "ZendralService.h"
#include "ZendralWire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// The uploading client is 127.0.3.1.
constexpr int AddressBlock = 3;
const char ClientAddress[] = "127.0.3.1";
constexpr int ReplyWaitMs = 600000;
// Lets the service settle after start-up and after each upload before its
// idle size is read.
constexpr int SettleMs = 1500;
constexpr qint64 HashChunk = 4 * 1024 * 1024;
} // namespace

QVector<UploadRun::Upload> UploadRun::Run(ZendralService &service, const QVector<qint64> &sizes)
{
    QVector<Upload> uploads;
    int n = 0;
    for (const qint64 size : sizes) {
        if (!service.IsRunning())
            break; // an earlier upload ended it; that upload says so
        uploads.append(One(service, size, ++n));
    }
    return uploads;
}

UploadRun::Upload UploadRun::One(ZendralService &service, qint64 size, int n)
{
    Upload upload;
    upload.size = size;
    const ZendralWire wire;
    ClientGroup group(wire, 1, AddressBlock);
    group.Open(service.Port());
    BenchClient *client = group.Clients().first();

    const QString name = QStringLiteral("bench-upload-%1.aex").arg(n);
    const QByteArray document = BenchDocument::Make(size, quint64(size));
    QByteArray request = wire.AddNamed(name, document);
    EventWait::Sleep(SettleMs);
    Console::Progress(QStringLiteral("Zendral: upload of %1 MiB").arg(size / (1024 * 1024)));

    const qint64 pid = service.Pid();
    ProcessStats::ResetPeak(pid);
    upload.idleBytes = ProcessStats::MemoryBytes(pid, "VmRSS");
    QObject::connect(client, &BenchClient::replied, client,
                     [&upload](BenchClient *, bool accepted, const QString &content, qint64 ns) {
                         upload.accepted = accepted;
                         upload.refusal = accepted ? QString() : content;
                         upload.replySeconds = ns / 1e9;
                     });
    client->Send(request);
    request = QByteArray(); // the socket holds its own copy
    // A connection the service drops is its answer to the upload, not a
    // failure of the run.
    EventWait::Until([client] { return client->IsIdle() || !client->Broken().isEmpty(); }, ReplyWaitMs,
                     QStringLiteral("the reply to the upload"));
    upload.peakBytes = ProcessStats::MemoryBytes(pid, "VmHWM");
    if (upload.idleBytes < 0 || upload.peakBytes < 0)
        upload.idleBytes = upload.peakBytes = -1;
    if (!client->Broken().isEmpty()) {
        upload.refusal = service.IsRunning() ? client->Broken() : QStringLiteral("the service ended");
        upload.stored = QStringLiteral("not stored");
        return upload;
    }
    upload.stored = upload.accepted ? CheckStored(service, name, document) : QStringLiteral("refused");
    return upload;
}

QString UploadRun::CheckStored(const ZendralService &service, const QString &name, const QByteArray &document)
{
    const QString clientFolder = QDir(service.JobsFolder()).filePath(QLatin1String(ClientAddress));
    QString path;
    QDirIterator it(clientFolder, QStringList{name}, QDir::Files, QDirIterator::Subdirectories);
    if (it.hasNext())
        path = it.next();
    if (path.isEmpty())
        return QStringLiteral("no job file %1 under %2").arg(name, clientFolder);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1").arg(path);
    if (file.size() != document.size())
        return QStringLiteral("job file has %1 bytes, the document %2").arg(file.size()).arg(document.size());
    QCryptographicHash stored(QCryptographicHash::Sha256);
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(HashChunk);
        if (chunk.isEmpty())
            return QStringLiteral("cannot read %1").arg(path);
        stored.addData(chunk);
    }
    if (stored.result() != QCryptographicHash::hash(document, QCryptographicHash::Sha256))
        return QStringLiteral("job file differs from the document (SHA-256)");
    return QStringLiteral("intact");
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
