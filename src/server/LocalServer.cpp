#include "LocalServer.h"

#include "QueueLocker.h"

#include "AddRequestReader.h"
#include "Base64StreamWriter.h"
#include "ClusterSettings.h"
#include "ClusterStore.h"
#include "FailurePolicy.h"
#include "JobFileLocker.h"
#include "JournalStore.h"
#include "LocalManager.h"
#include "MarkerExtractor.h"
#include "NesterJob.h"
#include "QueueStore.h"
#include "SafeJson.h"
#include "WriteBackup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>

#include "NativePath.h"
#include "Platform.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>

namespace Orvane {
namespace Zendral {

namespace {

const char *const InvalidData = "Invalid data...";
const char *const JobNameEmpty = "Job name is empty...";
const char *const JobNonExistent = "Job non-existent...";
const char *const UploadFailed = "Data upload exception, Please contact the server administrator...";
const char *const TooManyJobs = "Too many jobs...";
const char *const NotEnoughDisk = "Not enough disk space...";
const char kMaxJobsPerClientKey[] = "worker/max_jobs_per_client";
const int kDefaultMaxJobsPerClient = 10000;
const char kMinFreeDiskKey[] = "worker/min_free_disk_mb";
const int kDefaultMinFreeDiskMb = 1024;

// A setting read with its default; the default is written when the key is
// missing, so that the operator finds it in the settings file.
int SettingWithDefault(const char *key, int fallback)
{
    QSettings settings;
    if (!settings.contains(QLatin1String(key)))
        settings.setValue(QLatin1String(key), fallback);
    return settings.value(QLatin1String(key), fallback).toInt();
}

// Free bytes for this user on the disk holding `path`; -1 when unknown.
// Not QStorageInfo, which reads the whole mount table on every call.
qint64 FreeDiskBytes(const QString &path)
{
    return Platform::FreeDiskBytes(NativePath(path));
}

qint64 SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// How often the GUI thread delivers the changes made by client sessions:
// the operator sees them in the table well within a second.
constexpr int DeliveryIntervalMs = 100;

using ErrorReporter = std::function<void(const QString &, const QString &)>;

std::mutex &ReporterMutex()
{
    static std::mutex mutex;
    return mutex;
}

ErrorReporter &Reporter()
{
    static ErrorReporter reporter;
    return reporter;
}

bool OnGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Logs an exception caught in a slot or in UpdateData and carries on.
void LogCaught(const char *function, int line)
{
    qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                              .arg(QLatin1String(__FILE__))
                              .arg(line)
                              .arg(QLatin1String(function));
}

// Whether a base name is one of the device names Windows reserves in every
// folder (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9), in any case.
bool IsReservedDeviceName(const QString &base)
{
    static const QStringList plain{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                   QStringLiteral("NUL")};
    const QString upper = base.toUpper();
    if (plain.contains(upper))
        return true;
    return upper.size() == 4 && (upper.startsWith(QLatin1String("COM")) || upper.startsWith(QLatin1String("LPT")))
        && upper.at(3) >= QLatin1Char('1') && upper.at(3) <= QLatin1Char('9');
}

// The client's "job_name" reduced to a plain file name, so that the job
// file can only land inside its own job folder: the part after the last
// "/" or "\", without a drive ("C:"); "." and ".." give the empty text.
// The name is also made safe on Windows, the same way on every platform:
// characters Windows refuses (<>:"|?* and control characters) become "_",
// trailing dots and spaces go, and a reserved device name gets a "_" in
// front ("NUL.aex" becomes "_NUL.aex"). Ordinary names stay as they are.
QString PlainFileName(const QString &name)
{
    const int slash = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    QString plain = name.mid(slash + 1);
    if (plain.size() >= 2 && plain.at(1) == QLatin1Char(':') && plain.at(0).isLetter())
        plain = plain.mid(2);
    if (plain == QLatin1String(".") || plain == QLatin1String(".."))
        return QString();
    static const QString refused = QStringLiteral("<>:\"|?*");
    for (QChar &c : plain) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || refused.contains(c))
            c = QLatin1Char('_');
    }
    int end = plain.size();
    while (end > 0 && (plain.at(end - 1) == QLatin1Char('.') || plain.at(end - 1) == QLatin1Char(' ')))
        --end;
    plain.truncate(end);
    // Windows checks the part before the first dot, ignoring trailing spaces.
    QString base = plain.left(plain.indexOf(QLatin1Char('.')) < 0 ? plain.size() : plain.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    if (IsReservedDeviceName(base))
        plain.prepend(QLatin1Char('_'));
    return plain;
}

// A client folder name (the peer address) must be one path element.
bool IsPlainFolderName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// The name of the n-th job folder claimed in one second: "stamp", then
// "stamp_01" ... "stamp_99", then "stamp_99_000100" and on, so that names
// always sort in the order of submission.
QString JobFolderName(const QString &stamp, int n)
{
    if (n == 0)
        return stamp;
    if (n < 100)
        return QStringLiteral("%1_%2").arg(stamp).arg(n, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1_99_%2").arg(stamp).arg(n, 6, 10, QLatin1Char('0'));
}

// Claims a job folder of its own inside the client folder: a non-recursive
// mkdir fails when the name exists. The last number used per client folder
// and second is remembered, so any number of submissions per second costs
// one mkdir each, not one per earlier folder of that second.
QString ClaimJobFolder(const QDir &client)
{
    static std::mutex mutex; // guards `last`
    static QHash<QString, QPair<QString, int>> last;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    const QString key = client.absolutePath();
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto previous = last.value(key);
        n = previous.first == stamp ? previous.second + 1 : 0;
        last.insert(key, {stamp, n});
    }
    for (int tries = 0; tries < 1000000; ++tries, ++n) {
        const QString name = JobFolderName(stamp, n);
        if (client.mkdir(name)) {
            std::lock_guard<std::mutex> lock(mutex);
            if (last.value(key).first == stamp && last.value(key).second < n)
                last.insert(key, {stamp, n});
            return client.absoluteFilePath(name);
        }
        if (!client.exists(name))
            return QString(); // a real failure, not a name already taken
    }
    return QString();
}

} // namespace

LocalServer::LocalServer(QObject *parent)
    : QObject(parent)
{
    jobsDir = JobsDir(); // reports a jobs folder that cannot be made
    maxJobsPerClient = SettingWithDefault(kMaxJobsPerClientKey, kDefaultMaxJobsPerClient);
    minFreeDiskBytes = qint64(qMax(0, SettingWithDefault(kMinFreeDiskKey, kDefaultMinFreeDiskMb))) * 1024 * 1024;
    if (ClusterSettings::SharedBackendChosen()) {
        auto cluster = std::make_unique<ClusterStore>(ClusterSettings::Read(), jobsDir);
        shared = cluster.get();
        store = std::move(cluster);
    } else {
        store = std::make_unique<JournalStore>(jobsDir);
    }
    QList<NesterJob *> restored;
    store->Load(restored);
    {
        QueueLocker locker;
        for (NesterJob *job : qAsConst(restored)) {
            if (!shared)
                job->stored = QJsonDocument(job->ToJson(0)).toJson(QJsonDocument::Compact);
            Insert(job);
        }
    }
    store->SetSnapshotSource([this] { return Snapshot(); });
    deliveryTimer = new QTimer(this);
    deliveryTimer->setInterval(DeliveryIntervalMs);
    connect(deliveryTimer, &QTimer::timeout, this, &LocalServer::DeliverNotifications);
    deliveryTimer->start();
    listener = new LocalManager(this);
    if (shared) {
        shared->SetSink([this](std::vector<MirrorChange> &changes, bool reset) { ApplyShared(changes, reset); });
        // The change log is followed once the window shows the queue.
        QTimer::singleShot(0, this, [this] { shared->Start(); });
    }
}

// The listener goes first: it waits for the running sessions, which call
// into this object. Then the final backup, then the records.
LocalServer::~LocalServer()
{
    delete listener;
    listener = nullptr;
    QVector<StoredRecord> final;
    {
        QueueLocker locker;
        final = Snapshot();
    }
    store->Close(final);
    std::vector<Event> left;
    {
        std::lock_guard<std::mutex> locker(outboxMutex);
        left.swap(outbox);
    }
    for (const Event &event : left) {
        if (event.kind == Event::Removed)
            delete event.job;
        if (event.kind == Event::Replaced)
            delete event.old;
    }
    QueueLocker locker;
    qDeleteAll(order.ToList());
    order.Clear();
    byId.clear();
    byClient.clear();
}

QMutex &LocalServer::QueueMutex()
{
    static QMutex mutex;
    return mutex;
}

bool LocalServer::JobsDirReady(QDir *dir)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (data.isEmpty())
        return false;
    const QString path = QStringLiteral("%1/%2").arg(data, QStringLiteral("JOBS"));
    if (!QFileInfo(path).isDir() && !QDir().mkpath(path))
        return false;
    if (dir)
        *dir = QDir(path);
    return QFileInfo(path).isDir();
}

void LocalServer::SetErrorReporter(ErrorReporter reporter)
{
    std::lock_guard<std::mutex> locker(ReporterMutex());
    Reporter() = std::move(reporter);
}

void LocalServer::ReportJobsDirFailure()
{
    qCritical() << "Cannot create directory for application data:"
                << QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (!OnGuiThread())
        return; // sessions and the backup thread show nothing
    ErrorReporter reporter;
    {
        std::lock_guard<std::mutex> locker(ReporterMutex());
        reporter = Reporter();
    }
    if (reporter)
        reporter(QCoreApplication::translate("Orvane::Zendral::LocalServer", "Error"),
                 QCoreApplication::translate("Orvane::Zendral::LocalServer",
                                             "Cannot create directory for application data."));
}

QDir LocalServer::JobsDir()
{
    QDir dir;
    if (JobsDirReady(&dir))
        return dir;
    ReportJobsDirFailure();
    return QDir(QString());
}

// Any thread. The job file is written whole or the job is not made: a client
// is never told its upload was taken when the file is not on disk.
NesterJob *LocalServer::CreateJob(const QString &from, const QString &fileName,
                                  const char *base64, qint64 base64Size, int time)
{
    const QString name = PlainFileName(fileName);
    if (name.isEmpty() || !IsPlainFolderName(from)) {
        qWarning() << "Job not made, unusable name:" << from << fileName;
        return nullptr;
    }
    QDir jobsDir;
    if (!JobsDirReady(&jobsDir)) {
        ReportJobsDirFailure();
        return nullptr;
    }
    const QString clientPath = jobsDir.absoluteFilePath(from);
    if (!QDir().mkpath(clientPath)) {
        qWarning() << "Client folder cannot be made:" << clientPath;
        return nullptr;
    }
    const QDir client(clientPath);
    const QString folder = ClaimJobFolder(client);
    if (folder.isEmpty()) {
        qWarning() << "Job folder cannot be made in" << clientPath;
        return nullptr;
    }
    QFile file(QDir(folder).absoluteFilePath(name));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && Base64StreamWriter::Write(base64, base64Size, &file) && file.flush();
    file.close();
    if (!written) {
        qWarning() << "Job file cannot be written:" << file.fileName() << file.errorString();
        QFile::remove(file.fileName());
        client.rmdir(QFileInfo(folder).fileName());
        return nullptr;
    }
    return new NesterJob(file.fileName(), from, time);
}

QString LocalServer::MakeJobFolder(const QString &from)
{
    QDir jobsDir;
    if (!IsPlainFolderName(from) || !JobsDirReady(&jobsDir))
        return QString();
    const QString clientPath = jobsDir.absoluteFilePath(from);
    if (!QDir().mkpath(clientPath))
        return QString();
    return ClaimJobFolder(QDir(clientPath));
}

QString LocalServer::StartListen(const QString &port)
{
    return listener->StartListen(port) ? QString() : listener->ErrorText();
}

QString LocalServer::LocalHostIP(int waitMs)
{
    return listener->localHostIP(waitMs);
}

Reply LocalServer::InitSession()
{
    return Reply(true, QByteArray());
}

// Queue mutex held.
void LocalServer::Insert(NesterJob *job)
{
    order.Append(job);
    byId.insert(job->job_id, job);
    byClient[job->from].insert(job);
}

// The record JSON is kept on the record too, for cheap copies of the queue.
QueueChange LocalServer::PutChange(NesterJob *job, bool durable)
{
    QueueChange change;
    change.kind = QueueChange::Put;
    job->stored = QJsonDocument(job->ToJson(0)).toJson(QJsonDocument::Compact);
    change.record = job->stored;
    change.id = job->job_id;
    change.durable = durable;
    return change;
}

quint64 LocalServer::RecordPut(NesterJob *job, bool durable)
{
    return store->Record(PutChange(job, durable));
}

// The job's place is recorded as the job it now follows.
quint64 LocalServer::RecordMove(NesterJob *job)
{
    QueueChange change;
    change.kind = QueueChange::Move;
    change.id = job->job_id;
    const NesterJob *before = order.At(order.IndexOf(job) - 1);
    change.after = before ? before->job_id : QString();
    return store->Record(change);
}

void LocalServer::MoveTo(NesterJob *job, int to)
{
    const int from = order.IndexOf(job);
    if (from < 0 || from == to)
        return;
    order.Move(from, to);
    Post({Event::Moved, from, to, nullptr});
}

QVector<StoredRecord> LocalServer::Snapshot() const
{
    QVector<StoredRecord> copy;
    copy.reserve(order.Size());
    order.VisitFrom(0, [&copy](const NesterJob *job) {
        copy.append({job->stored, job->IsWaiting()});
        return true;
    });
    return copy;
}

// Session threads (and the GUI thread). The payload is read in place and
// the document decoded straight into the job file; the reply waits until the
// change is on stable storage.
Reply LocalServer::AddNesterJob(QByteArray request, const QString &from)
{
    AddRequestReader add;
    if (!add.Read(request)) {
        qDebug().noquote() << "Job from" << from << "refused, invalid data:" << add.ErrorText();
        return Reply(false, InvalidData);
    }
    const QString name = PlainFileName(add.JobName());
    if (name.isEmpty())
        return Reply(false, JobNameEmpty);
    // The decoded document is at most three quarters of its Base64 text.
    const Reply refused = CheckQuota(from, add.DataLength() / 4 * 3);
    if (!refused.second.isEmpty())
        return refused;
    if (shared) {
        const Reply reply = shared->Add(name, from, add.Time(), request.constData() + add.DataOffset(), add.DataLength());
        DeliverSoon();
        return reply;
    }
    store->ExpectChange();
    NesterJob *job = CreateJob(from, name, request.constData() + add.DataOffset(), add.DataLength(), add.Time());
    if (!job) {
        store->ChangeGivenUp();
        return Reply(false, UploadFailed);
    }
    const QString job_id = job->job_id;
    // The new record is the session's alone until it is in the queue: its
    // change is made before the queue mutex is taken.
    QueueChange change = PutChange(job, true);
    change.newFile = job->fileaex;
    quint64 ticket = 0;
    {
        QueueLocker locker;
        Insert(job);
        ticket = store->Record(change);
        Post({Event::Inserted, order.IndexOf(job), 0, job});
    }
    if (!store->WaitDurable(ticket)) {
        // Not on stable storage: the job is taken back out, so that the
        // client is not told its job was taken when a restart would lose it.
        qCritical().noquote() << "Job not taken, the queue journal cannot be written:" << job_id;
        {
            QueueLocker locker;
            if (NesterJob *taken = FindJob(job_id))
                TakeOut(taken);
        }
        DeliverSoon();
        return Reply(false, UploadFailed);
    }
    qInfo().noquote() << "Job" << job_id << "added by" << from << QStringLiteral("(%1)").arg(name);
    DeliverSoon();
    return Reply(true, job_id.toLatin1());
}

// The client's quota and the free disk space; an empty content means the
// add may go on.
Reply LocalServer::CheckQuota(const QString &from, qint64 documentSize)
{
    if (maxJobsPerClient > 0) {
        QueueLocker locker;
        if (byClient.value(from).size() >= maxJobsPerClient) {
            qWarning().noquote() << "Job of" << from << "refused: it has" << maxJobsPerClient
                                 << "jobs queued (worker/max_jobs_per_client)";
            return Reply(false, TooManyJobs);
        }
    }
    if (minFreeDiskBytes > 0) {
        const qint64 available = FreeDiskBytes(jobsDir.absolutePath());
        if (available >= 0 && available - documentSize < minFreeDiskBytes) {
            qWarning().noquote() << "Job of" << from << "refused: the jobs folder's disk would keep less than"
                                 << minFreeDiskBytes / (1024 * 1024) << "MiB free (worker/min_free_disk_mb)";
            return Reply(false, NotEnoughDisk);
        }
    }
    return Reply(true, QByteArray());
}

Reply LocalServer::RemoveNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->Remove(job_id);
        DeliverSoon();
        return reply;
    }
    quint64 ticket = 0;
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, JobNonExistent);
        QueueChange change;
        change.kind = QueueChange::Remove;
        change.id = job_id;
        ticket = store->Record(change);
        TakeOut(job);
    }
    // A removal whose record could not be written needs nothing more: the
    // job's files are gone, so a restore drops the stale record.
    if (!store->WaitDurable(ticket))
        qWarning().noquote() << "Removal of job" << job_id << "not in the journal; its files are gone";
    qInfo().noquote() << "Job" << job_id << "removed";
    DeliverSoon();
    return Reply(true, QByteArray());
}

// A pick-up always ends the job, with or without a result.
Reply LocalServer::PickUpNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->PickUp(job_id);
        DeliverSoon();
        return reply;
    }
    Reply reply(false, JobNonExistent);
    quint64 ticket = 0;
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, QByteArray());
        {
            JobFileLocker read(&fileLock, Read);
            QFile file(job->fileaexres);
            if (file.exists() && file.open(QIODevice::ReadOnly)) {
                reply = Reply(true, file.readAll().toBase64(QByteArray::Base64UrlEncoding));
                file.close();
            }
        }
        QueueChange change;
        change.kind = QueueChange::Remove;
        change.id = job_id;
        ticket = store->Record(change);
        TakeOut(job);
    }
    store->WaitDurable(ticket);
    qInfo().noquote() << "Job" << job_id << "picked up" << (reply.first ? "with its result" : "without a result");
    DeliverSoon();
    return reply;
}

// The client's jobs are copied under the queue mutex with their places
// (from the order's counts, not a walk of the queue); the reply is built
// afterwards, without it.
Reply LocalServer::GetNesterJobList(const QString &from, const QString &requestedName)
{
    struct Row
    {
        int index;
        int place;
        NesterJob job;
    };
    std::vector<Row> rows;
    {
        QueueLocker locker;
        const QSet<NesterJob *> mine = byClient.value(from);
        rows.reserve(size_t(mine.size()));
        for (const NesterJob *job : mine)
            rows.push_back({order.IndexOf(job), order.WaitingPlace(job), *job});
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.index < b.index; });
    QJsonArray array;
    {
        JobFileLocker read(&fileLock, Read); // "job_data" reads a result file
        for (const Row &row : rows) {
            QJsonObject item = row.job.ToListJson(row.place, requestedName, from);
            // A shared queue's result may come from any node: the database has it.
            if (shared && item.contains(QStringLiteral("job_data"))) {
                const QByteArray marker = MarkerExtractor().ExtractData(shared->ResultBytes(row.job.job_id));
                item.insert(QStringLiteral("job_data"),
                            QString::fromLatin1(marker.toBase64(QByteArray::Base64UrlEncoding)));
            }
            array.append(item);
        }
    }
    return Reply(true, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

Reply LocalServer::MoveNesterJob(const QByteArray &request)
{
    const QJsonDocument document = SafeJson::Parse(request);
    if (document.isNull())
        return Reply(false, QByteArray());
    const QJsonObject object = document.object();
    const QString job_id = object.value(QStringLiteral("job_id")).toString();
    const int step = object.value(QStringLiteral("step")).toInt(0);
    if (shared) {
        const Reply reply = shared->Move(job_id, step);
        DeliverSoon();
        return reply;
    }
    int from = -1;
    quint64 ticket = 0;
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job || !job->IsWaiting())
            return Reply(false, QByteArray());
        const int i = order.IndexOf(job);
        const int last = order.Size() - 1;
        int to = -1;
        switch (step) {
        case -1:
            if (i > 0 && order.At(i - 1)->IsWaiting())
                to = i - 1;
            break;
        case 0: {
            const int p = order.FirstWaitingIndex();
            if (i > p)
                to = p;
            break;
        }
        case 1:
            if (i < last)
                to = i + 1;
            break;
        case 9:
            if (i < last)
                to = last;
            break;
        default:
            break;
        }
        if (to < 0)
            return Reply(false, QByteArray());
        from = i;
        MoveTo(job, to);
        ticket = RecordMove(job);
    }
    if (!store->WaitDurable(ticket)) {
        // Not on stable storage: the move is undone, so that what the client
        // is told is what a restart restores. The journal never had it, so
        // the undo is not recorded either.
        {
            QueueLocker locker;
            if (NesterJob *job = FindJob(job_id))
                MoveTo(job, qBound(0, from, order.Size() - 1));
        }
        qWarning().noquote() << "Move of job" << job_id << "undone: the queue journal cannot be written";
        DeliverSoon();
        return Reply(false, QByteArray());
    }
    DeliverSoon();
    return Reply(true, QByteArray());
}

Reply LocalServer::RetryNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->Retry(job_id);
        DeliverSoon();
        return reply;
    }
    quint64 ticket = 0;
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job || !job->IsFailed())
            return Reply(false, JobNonExistent);
        job->state = NesterJob::Waiting;
        job->failed_runs = 0;
        job->error.clear();
        job->retry_at = 0;
        order.Touch(job);
        RecordPut(job, true);
        Post({Event::Changed, 0, 0, job});
        MoveTo(job, order.Size() - 1);
        ticket = RecordMove(job);
    }
    if (!store->WaitDurable(ticket))
        qWarning().noquote() << "Retry of job" << job_id << "not in the journal";
    qInfo().noquote() << "Job" << job_id << "retried by the operator";
    DeliverSoon();
    return Reply(true, QByteArray());
}

QJsonObject LocalServer::PickJob()
{
    if (shared) {
        const QJsonObject claimed = shared->Claim();
        DeliverSoon();
        return claimed;
    }
    QJsonObject result;
    const qint64 now = SteadyMs();
    {
        QueueLocker locker;
        const int first = order.FirstWaitingIndex();
        if (first >= 0) {
            order.VisitFrom(first, [&](const NesterJob *job) {
                // A job waiting for its retry lets the jobs behind it go first.
                if (!job->IsWaiting() || job->retry_at > now || !QFile::exists(job->fileaex))
                    return true;
                result.insert(QStringLiteral("file_path"), job->fileaex);
                result.insert(QStringLiteral("job_id"), job->job_id);
                result.insert(QStringLiteral("work_seconds"), QString::number(job->time));
                result.insert(QStringLiteral("job_name"), QStringLiteral("%1:%2").arg(job->job_name, job->from));
                return false;
            });
        }
    }
    result.insert(QStringLiteral("state"), result.contains(QStringLiteral("file_path")));
    return result;
}

// GUI thread. The queue mutex is held for the whole write, so the job cannot
// be removed (and its folder deleted) half-way. The file is replaced
// atomically: a write that fails (disk full) leaves the previous result.
bool LocalServer::UpdateData(const QJsonObject &data)
{
    try {
        const QByteArray bytes = QByteArray::fromBase64(data.value(QStringLiteral("data")).toString().toLatin1());
        const QString job_id = data.value(QStringLiteral("job_id")).toString();
        if (shared)
            return shared->Result(job_id, bytes);
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return true; // nothing to keep it for
        JobFileLocker write(&fileLock, Write);
        QSaveFile file(job->fileaexres);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                             && file.flush() && file.commit();
        if (!written) {
            qWarning().noquote() << "Result of job" << job_id << "not written, the previous one stays:"
                                 << job->fileaexres << file.errorString();
            file.cancelWriting();
        }
        job->result_broken = !written;
        return written;
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::UpdateData", __LINE__);
        return false;
    }
}

bool LocalServer::CopyJob(const QString &job_id, NesterJob *copy) const
{
    QueueLocker locker;
    const NesterJob *job = FindJob(job_id);
    if (job && copy)
        *copy = *job;
    return job;
}

QList<NesterJob *> LocalServer::Jobs() const
{
    QueueLocker locker;
    return order.ToList();
}

// GUI thread: changes a record's fields under the queue mutex, records the
// change and delivers its event at once. False when there is no such job.
template <typename F>
bool LocalServer::ChangeJob(const QString &job_id, bool durable, F change)
{
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job || !change(job))
            return false;
        order.Touch(job);
        RecordPut(job, durable);
        Post({Event::Changed, 0, 0, job});
    }
    DeliverSoon();
    return true;
}

void LocalServer::OnJobStarted(QString job_id)
{
    if (shared)
        return; // a shared queue's job runs from its claim on
    try {
        ChangeJob(job_id, true, [&](NesterJob *job) {
            job->Start();
            qInfo().noquote() << "Job" << job_id << "from" << job->from << "started";
            return true;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobStarted", __LINE__);
    }
}

// Progress only goes up and never reaches 100 through reports; only a
// successful finish makes a job complete. Progress is not awaited on disk.
void LocalServer::OnJobUpdate(QString jod_id, QJsonObject object)
{
    try {
        if (shared) {
            shared->Progress(jod_id, object);
            DeliverSoon();
            return;
        }
        ChangeJob(jod_id, false, [&](NesterJob *job) {
            const double limit = object.value(QStringLiteral("time_limit")).toDouble(0);
            const double elapsed = object.value(QStringLiteral("time_elapsed")).toDouble(0);
            if (limit != 0) {
                const double p = elapsed / limit * 100;
                if (p > job->completed && p < 100)
                    job->completed = p;
            }
            job->efficient = object.value(QStringLiteral("efficiency")).toDouble(0);
            return true;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobUpdate", __LINE__);
    }
}

void LocalServer::OnJobFinish(QString job_id, int exit_code)
{
    OnJobEnded(job_id, exit_code,
               exit_code == 0 ? QString() : QStringLiteral("exit code %1").arg(exit_code), false);
}

void LocalServer::OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped)
{
    try {
        if (shared) {
            shared->Ended(job_id, exit_code, reason, stopped);
            DeliverSoon();
            return;
        }
        const FailurePolicy policy = FailurePolicy::Read();
        ChangeJob(job_id, true, [&](NesterJob *job) {
            if (!job->IsRunning() && exit_code != 0)
                return false; // removed or picked up meanwhile: never brought back
            EndRun(job, exit_code, reason, stopped, policy.maxFailedRuns, policy.retryDelaySeconds);
            return true;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobEnded", __LINE__);
    }
}

// Caller holds the queue mutex. A job never leaves its place here: a failed
// run waits for its retry where it stands, and the jobs behind it go first
// meanwhile (PickJob).
void LocalServer::EndRun(NesterJob *job, int exit_code, const QString &reason, bool stopped,
                         int maxFailed, int delaySeconds)
{
    if (exit_code == 0 && !job->result_broken) {
        job->Finish();
        job->failed_runs = 0;
        job->error.clear();
        qInfo().noquote() << "Job" << job->job_id << "from" << job->from << "finished";
        return;
    }
    job->start.clear();
    job->completed = 0;
    job->efficient = 0;
    if (stopped) {
        job->state = NesterJob::Waiting;
        qInfo().noquote() << "Job" << job->job_id << "stopped, waiting again at its place";
        return;
    }
    job->failed_runs += 1;
    job->error = exit_code == 0 ? QStringLiteral("result could not be written") : reason;
    if (job->failed_runs >= maxFailed) {
        job->state = NesterJob::Failed;
        qWarning().noquote() << "Job" << job->job_id << "from" << job->from << "failed after"
                             << job->failed_runs << "runs:" << job->error;
        return;
    }
    job->state = NesterJob::Waiting;
    job->retry_at = SteadyMs() + qint64(delaySeconds) * 1000;
    qWarning().noquote() << "Job" << job->job_id << "from" << job->from << "run failed (" << job->error
                         << "), run" << job->failed_runs << "of" << maxFailed << "- retried in" << delaySeconds << "s";
}

// Caller holds the queue mutex. The files of records sharing the job's
// folder (the old layout) are passed on, so that they stay.
void LocalServer::TakeOut(NesterJob *job)
{
    const int row = order.IndexOf(job);
    order.Remove(job);
    byId.remove(job->job_id);
    auto mine = byClient.find(job->from);
    if (mine != byClient.end()) {
        mine->remove(job);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    if (shared) {
        // A shared queue's documents live in the database; the local copy
        // of a running job is the store's.
        Post({Event::Removed, row, 0, job});
        return;
    }
    const QString folder = QFileInfo(job->fileaex).absolutePath();
    QStringList keep;
    for (const NesterJob *other : byClient.value(job->from)) {
        for (const QString &file : {other->fileaex, other->fileaexres}) {
            if (!file.isEmpty() && QFileInfo(file).absolutePath() == folder)
                keep << QFileInfo(file).absoluteFilePath();
        }
    }
    {
        JobFileLocker write(&fileLock, Write);
        job->Remove(keep);
    }
    Post({Event::Removed, row, 0, job}); // the record goes with its event
}

// Any thread, one call at a time (the shared store serialises them), without
// the queue mutex: takes it for the whole batch.
void LocalServer::ApplyShared(std::vector<MirrorChange> &changes, bool reset)
{
    QueueLocker locker;
    if (reset) {
        for (NesterJob *job : order.ToList())
            TakeOut(job);
    }
    for (MirrorChange &change : changes) {
        NesterJob *job = FindJob(change.id);
        switch (change.kind) {
        case MirrorChange::Put:
            if (job) {
                ReplaceRecord(job, change.job);
            } else {
                Insert(change.job);
                Post({Event::Inserted, order.IndexOf(change.job), 0, change.job});
            }
            change.job = nullptr; // the queue's now
            break;
        case MirrorChange::Remove:
            if (job)
                TakeOut(job);
            break;
        case MirrorChange::Move: {
            NesterJob *before = change.after.isEmpty() ? nullptr : FindJob(change.after);
            if (!job || (!change.after.isEmpty() && !before) || before == job)
                break;
            const int from = order.IndexOf(job);
            const int after = before ? order.IndexOf(before) : -1;
            MoveTo(job, after < from ? after + 1 : after);
            break;
        }
        }
    }
}

// Queue mutex held. The newer record takes the old one's place everywhere;
// the old one lives until its replacement has been delivered.
void LocalServer::ReplaceRecord(NesterJob *old, NesterJob *job)
{
    const int row = order.IndexOf(old);
    order.Replace(old, job);
    byId.insert(job->job_id, job);
    auto mine = byClient.find(old->from);
    if (mine != byClient.end()) {
        mine->remove(old);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    byClient[job->from].insert(job);
    Event event{Event::Replaced, row, 0, job};
    event.old = old;
    Post(event);
}

void LocalServer::Post(const Event &event)
{
    std::lock_guard<std::mutex> locker(outboxMutex);
    outbox.push_back(event);
}

// On the GUI thread the change is shown at once; elsewhere at the next tick
// of the delivery timer.
void LocalServer::DeliverSoon()
{
    if (QThread::currentThread() == thread())
        DeliverNotifications();
}

void LocalServer::DeliverNotifications()
{
    if (shared) {
        for (const QString &job_id : shared->TakeLostRuns())
            emit runLost(job_id);
    }
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> locker(outboxMutex);
        events.swap(outbox);
    }
    if (events.empty())
        return;
    for (const Event &event : events) {
        switch (event.kind) {
        case Event::Inserted:
            emit jobInserted(event.row, event.job);
            break;
        case Event::Removed:
            emit jobRemovedAt(event.row, event.job);
            emit jobRemoved(event.job->job_id);
            delete event.job;
            break;
        case Event::Moved:
            emit jobMoved(event.row, event.to);
            break;
        case Event::Changed:
            emit jobChanged(event.job);
            break;
        case Event::Replaced:
            emit jobReplaced(event.row, event.old, event.job);
            delete event.old;
            break;
        }
    }
    emit updateJobList(Jobs());
}

} // namespace Zendral
} // namespace Orvane
