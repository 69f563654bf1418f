#include "ClusterStore.h"

#include "QueueReplies.h"

#include "Base64StreamWriter.h"
#include "ChunkUploadDevice.h"
#include "ClusterRecord.h"
#include "ClusterSchema.h"
#include "MarkerExtractor.h"
#include "NesterJob.h"
#include "PgConnection.h"
#include "QueueRules.h"

#include <QDateTime>
#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QUuid>

#include "Platform.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace Orvane {
namespace Zendral {

namespace {

using QueueReplies::JobNonExistent;
constexpr const char *BusyReply = QueueReplies::ServiceBusy;
constexpr int PoolSize = 8;
constexpr int OrdGap = 1024;
constexpr int CatchUpBatch = 5000;
constexpr auto WaitSlice = std::chrono::milliseconds(250);
constexpr auto RecheckInterval = std::chrono::seconds(5);
constexpr auto ReapInterval = std::chrono::seconds(1);
constexpr auto PruneInterval = std::chrono::seconds(60);
constexpr auto MaxBackoff = std::chrono::milliseconds(5000);

using Clock = std::chrono::steady_clock;

// The record JSON of the job $1, with the row locked for this transaction,
// when `condition` (on j) holds.
QByteArray HeldRecordSql(const char *condition)
{
    return QByteArrayLiteral("SELECT ") + ClusterRecord::JsonExpression()
        + QByteArrayLiteral(" FROM zendral_jobs j WHERE j.job_id = $1") + condition + QByteArrayLiteral(" FOR UPDATE");
}

QByteArray SnapshotSql()
{
    return QByteArrayLiteral("SELECT ") + ClusterRecord::JsonExpression()
        + QByteArrayLiteral(" FROM zendral_jobs j ORDER BY j.ord");
}

void DeleteChanges(std::vector<QueueChange> &changes)
{
    for (QueueChange &change : changes)
        delete change.job;
    changes.clear();
}

} // namespace

ClusterStore::ClusterStore(const ClusterSettings &settings, QueueIndex &index, JobFolders &folders)
    : settings(settings)
    , index(index)
    , folders(folders)
    , pool(settings.Parameters(), PoolSize)
    , stopAtForTest(qEnvironmentVariable("ZENDRAL_TEST_STOP_AT"))
{
    if (!stopAtForTest.isEmpty())
        qWarning().noquote() << "ZENDRAL_TEST_STOP_AT (tests only): this process stops itself at" << stopAtForTest;
    if (!settings.IsValid())
        qCritical().noquote() << "Shared queue: the settings are not usable:" << settings.Error();
    else
        qInfo().noquote() << "Shared queue on PostgreSQL" << settings.Describe() << "as node" << settings.Node();
}

ClusterStore::~ClusterStore()
{
    stopping = true;
    stopWake.notify_all();
    if (watcher.joinable())
        watcher.join();
    if (beater.joinable())
        beater.join();
}

QString ClusterStore::ClaimsSuspendedReason() const
{
    std::lock_guard<std::mutex> lock(runsMutex);
    return suspendedReason;
}

// The places are taken in the order listed: only the first one not yet
// passed stops the process.
void ClusterStore::StopHereForTest(const char *place)
{
    if (stopAtForTest.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(stopForTestMutex);
        const QStringList places = stopAtForTest.split(QLatin1Char(','));
        if (stoppedForTest.size() >= places.size() || places.at(stoppedForTest.size()) != QLatin1String(place))
            return;
        stoppedForTest << QLatin1String(place);
    }
    qWarning().noquote() << "ZENDRAL_TEST_STOP_AT: stopped at" << place;
#ifdef Q_OS_UNIX
    ::raise(SIGSTOP);
#endif
}

// catchUpMutex held, so changes are applied one batch at a time, in the
// order of the log.
void ClusterStore::ApplyToMirror(std::vector<QueueChange> &changes, bool reset)
{
    std::lock_guard<std::mutex> locker(index.mutex);
    index.Apply(changes, reset);
    // A run here whose job was held elsewhere is stopped here.
    for (const QueueChange &change : changes) {
        const NesterJob *job = index.Find(change.id);
        if (change.kind != QueueChange::Put || !job || !job->IsHeld() || !job->IsRunning()
            || job->node != settings.Node())
            continue;
        std::lock_guard<std::mutex> lock(runsMutex);
        if (runs.contains(change.id) && !lost.contains(change.id))
            lost.append(change.id);
    }
}

QList<SharedQueue::Node> ClusterStore::Nodes() const
{
    std::lock_guard<std::mutex> lock(nodesMutex);
    return nodeList;
}

bool ClusterStore::IsConnected() const
{
    return connected.load() && !pool.IsDown();
}

// The queue as the database holds it, at start-up. Without the database the
// mirror starts empty and is filled once the watcher reaches it.
void ClusterStore::Load()
{
    if (!settings.IsValid())
        return;
    ReadKeptEnds();
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !ClusterSchema::Prepare(*connection, &error)) {
        qCritical().noquote() << "Shared queue: the database cannot be used now:" << error
                              << "- the queue shows once it can";
        return;
    }
    schemaReady = true;
    std::vector<QueueChange> rows;
    qint64 seq = 0;
    if (!ReadSnapshot(*connection, rows, &seq)) {
        qCritical().noquote() << "Shared queue: the queue could not be read:" << connection->Error();
        DeleteChanges(rows);
        return;
    }
    std::lock_guard<std::mutex> lock(catchUpMutex);
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        for (QueueChange &row : rows) {
            index.Insert(row.job, false);
            row.job = nullptr;
        }
    }
    applied = seq;
    appliedSeen = seq;
    loaded = true;
}

void ClusterStore::Start()
{
    if (!watcher.joinable() && settings.IsValid()) {
        watcher = std::thread(&ClusterStore::Watch, this);
        beater = std::thread(&ClusterStore::Beat, this);
    }
}

void ClusterStore::Close()
{
    stopping = true;
    stopWake.notify_all();
    if (watcher.joinable())
        watcher.join();
    if (beater.joinable())
        beater.join();
    // Ends of runs that still wait for the database get one more try.
    QString error;
    if (PgPool::Handle connection = pool.Acquire(&error)) {
        FlushPending(*connection);
        connection->Run("DELETE FROM zendral_nodes WHERE name = $1", {settings.Node()});
    }
}

bool ClusterStore::ReadSnapshot(PgConnection &connection, std::vector<QueueChange> &jobs, qint64 *seq)
{
    static const QByteArray sql = SnapshotSql();
    if (!connection.Begin("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"))
        return false;
    const PgResult last = connection.Exec("SELECT COALESCE(max(seq), 0) FROM zendral_changes");
    const PgResult rows = connection.Exec(sql.constData());
    if (!last.Ok() || !rows.Ok() || !connection.Commit()) {
        connection.Rollback();
        return false;
    }
    *seq = last.Int(0, 0);
    for (int r = 0; r < rows.Rows(); ++r) {
        QueueChange change;
        change.kind = QueueChange::Put;
        change.job = ClusterRecord::FromJson(rows.Bytes(r, 0));
        if (change.job) {
            change.id = change.job->job_id;
            jobs.push_back(change);
        }
    }
    return true;
}

bool ClusterStore::BeginChange(PgConnection &connection)
{
    if (connection.Begin() && LockQueue(connection))
        return true;
    connection.Rollback();
    return false;
}

bool ClusterStore::LockQueue(PgConnection &connection)
{
    if (!connection.Run("SELECT pg_advisory_xact_lock($1)", {QueueLockKey}))
        return false;
    StopHereForTest("change");
    return true;
}

qint64 ClusterStore::LogPut(PgConnection &connection, const QString &job_id)
{
    static const QByteArray sql = ClusterRecord::LogPutSql();
    const PgResult result = connection.Exec(sql.constData(), {job_id});
    return result.Ok() && result.Rows() == 1 ? result.Int(0, 0) : 0;
}

// A move is logged as the job the moved job now follows.
qint64 ClusterStore::LogMove(PgConnection &connection, const QString &job_id)
{
    const PgResult result = connection.Exec(
        "INSERT INTO zendral_changes (op, job_id, after) VALUES ('move', $1, COALESCE((SELECT p.job_id FROM "
        "zendral_jobs p WHERE p.ord < (SELECT ord FROM zendral_jobs WHERE job_id = $1) ORDER BY p.ord DESC "
        "LIMIT 1), '')) RETURNING seq",
        {job_id});
    return result.Ok() && result.Rows() == 1 ? result.Int(0, 0) : 0;
}

qint64 ClusterStore::LogRemove(PgConnection &connection, const QString &job_id)
{
    const PgResult result =
        connection.Exec("INSERT INTO zendral_changes (op, job_id) VALUES ('del', $1) RETURNING seq", {job_id});
    return result.Ok() && result.Rows() == 1 ? result.Int(0, 0) : 0;
}

bool ClusterStore::CommitChange(PgConnection &connection, qint64 seq)
{
    if (seq == 0 || !connection.Run("SELECT pg_notify('zendral_changes', '')") || !connection.Commit()) {
        qWarning().noquote() << "Shared queue: change not made:" << connection.Error();
        connection.Rollback();
        return false;
    }
    CatchUp(connection, seq);
    return true;
}

bool ClusterStore::DeleteJob(PgConnection &connection, const QString &job_id)
{
    return connection.Run("DELETE FROM zendral_documents WHERE job_id = $1", {job_id})
        && connection.Run("DELETE FROM zendral_results WHERE job_id = $1", {job_id});
}

// Session threads. The document goes into the database before the queue's
// lock is taken, so a large upload holds up no other change.
Reply ClusterStore::Add(const QString &fileName, const QString &from, int time, const char *base64,
                        qint64 base64Size)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection) {
        qWarning().noquote() << "Job of" << from << "refused, the shared queue cannot be reached:" << error;
        return Reply(false, BusyReply);
    }
    const QString job_id = QUuid::createUuid().toString();
    if (!connection->Begin()) {
        qWarning().noquote() << "Job of" << from << "refused:" << connection->Error();
        return Reply(false, BusyReply);
    }
    ChunkUploadDevice document(*connection, job_id);
    document.open(QIODevice::WriteOnly);
    if (!Base64StreamWriter::Write(base64, base64Size, &document) || !document.Finish()) {
        qWarning().noquote() << "Job of" << from << "refused, its document was not stored:" << connection->Error();
        connection->Rollback();
        return Reply(false, BusyReply);
    }
    const QString submitted = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    qint64 seq = 0;
    if (LockQueue(*connection)
        && connection->Run("INSERT INTO zendral_jobs (job_id, ord, job_name, file_name, client, submit_time, "
                           "time_budget, doc_size) VALUES ($1, COALESCE((SELECT max(ord) FROM zendral_jobs), 0) + $2, "
                           "$3, $4, $5, $6, $7, $8)",
                           {job_id, OrdGap, QFileInfo(fileName).completeBaseName(), fileName, from, submitted, time,
                            document.Written()}))
        seq = LogPut(*connection, job_id);
    if (!CommitChange(*connection, seq))
        return Reply(false, BusyReply);
    qInfo().noquote() << "Job" << job_id << "added by" << from << QStringLiteral("(%1)").arg(fileName);
    return Reply(true, job_id.toLatin1());
}

Reply ClusterStore::Remove(const QString &job_id)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return Reply(false, BusyReply);
    const PgResult removed = connection->Exec("DELETE FROM zendral_jobs WHERE job_id = $1", {job_id});
    if (!removed.Ok()) {
        connection->Rollback();
        return Reply(false, BusyReply);
    }
    if (removed.Affected() == 0) {
        connection->Rollback();
        return Reply(false, JobNonExistent);
    }
    const qint64 seq = DeleteJob(*connection, job_id) ? LogRemove(*connection, job_id) : 0;
    if (!CommitChange(*connection, seq))
        return Reply(false, BusyReply);
    qInfo().noquote() << "Job" << job_id << "removed";
    return Reply(true, QByteArray());
}

// A pick-up ends the job, with or without a result, as on one machine.
Reply ClusterStore::PickUp(const QString &job_id)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return Reply(false, BusyReply);
    const PgResult removed = connection->Exec("DELETE FROM zendral_jobs WHERE job_id = $1", {job_id});
    if (!removed.Ok() || removed.Affected() == 0) {
        connection->Rollback();
        return Reply(false, removed.Ok() ? QByteArray() : QByteArray(BusyReply));
    }
    const PgResult result = connection->Exec("SELECT data FROM zendral_results WHERE job_id = $1", {job_id}, true);
    const qint64 seq = result.Ok() && DeleteJob(*connection, job_id) ? LogRemove(*connection, job_id) : 0;
    if (!CommitChange(*connection, seq))
        return Reply(false, BusyReply);
    const bool haveResult = result.Rows() == 1;
    qInfo().noquote() << "Job" << job_id << "picked up" << (haveResult ? "with its result" : "without a result");
    if (!haveResult)
        return Reply(false, JobNonExistent);
    return Reply(true, result.Bytes(0, 0).toBase64(QByteArray::Base64UrlEncoding));
}

// A free place just before the job `job_id`; the places are numbered anew
// (in the same transaction) when there is no gap left. -1 on failure.
qint64 ClusterStore::OrdBefore(PgConnection &connection, const QString &job_id)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const PgResult places = connection.Exec(
            "SELECT t.ord, (SELECT max(p.ord) FROM zendral_jobs p WHERE p.ord < t.ord) FROM zendral_jobs t "
            "WHERE t.job_id = $1",
            {job_id});
        if (!places.Ok() || places.Rows() != 1)
            return -1;
        const qint64 target = places.Int(0, 0);
        if (places.IsNull(0, 1))
            return target - OrdGap;
        const qint64 before = places.Int(0, 1);
        if (target - before >= 2)
            return before + (target - before) / 2;
        if (!connection.Run("UPDATE zendral_jobs j SET ord = r.n * 1024 FROM (SELECT job_id, row_number() OVER "
                            "(ORDER BY ord) AS n FROM zendral_jobs) r WHERE j.job_id = r.job_id"))
            return -1;
    }
    return -1;
}

// A free place just after the job `job_id` (before the job that follows
// it, or past the tail). -1 on failure.
qint64 ClusterStore::OrdAfter(PgConnection &connection, const QString &job_id)
{
    const PgResult next = connection.Exec(
        "SELECT n.job_id FROM zendral_jobs n WHERE n.ord > (SELECT ord FROM zendral_jobs WHERE job_id = $1) "
        "ORDER BY n.ord LIMIT 1",
        {job_id});
    if (!next.Ok())
        return -1;
    if (next.Rows() == 1)
        return OrdBefore(connection, next.Text(0, 0));
    const PgResult tail = connection.Exec("SELECT max(ord) FROM zendral_jobs");
    return tail.Ok() && tail.Rows() == 1 ? tail.Int(0, 0) + OrdGap : -1;
}

// Where the job stands in the database's order, read inside the change's
// transaction (the queue's lock is held, so no other node moves anything).
bool ClusterStore::ReadView(PgConnection &connection, const QString &job_id, OrderView *view)
{
    const PgResult me = connection.Exec(
        "SELECT t.state, (SELECT count(*) FROM zendral_jobs p WHERE p.ord < t.ord), "
        "(SELECT count(*) FROM zendral_jobs), "
        "CASE WHEN EXISTS (SELECT 1 FROM zendral_jobs w WHERE w.state = 0) THEN (SELECT count(*) FROM zendral_jobs p "
        "WHERE p.ord < (SELECT min(w.ord) FROM zendral_jobs w WHERE w.state = 0)) ELSE -1 END, "
        "(SELECT p.state FROM zendral_jobs p WHERE p.ord < t.ord ORDER BY p.ord DESC LIMIT 1) "
        "FROM zendral_jobs t WHERE t.job_id = $1",
        {job_id});
    if (!me.Ok() || me.Rows() != 1)
        return false;
    view->waits = me.Int(0, 0) == NesterJob::Waiting;
    view->index = int(me.Int(0, 1));
    view->size = int(me.Int(0, 2));
    view->firstWaiting = int(me.Int(0, 3));
    view->previousWaits = !me.IsNull(0, 4) && me.Int(0, 4) == NesterJob::Waiting;
    return true;
}

// The queue's move rule, evaluated on the database's order: the job goes
// to the place of the job now at the target index.
Reply ClusterStore::Move(const QString &job_id, MoveStep step)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return Reply(false, QByteArray());
    PgConnection &c = *connection;
    OrderView view;
    const int to = ReadView(c, job_id, &view) ? QueueRules::MoveTarget(step, view) : -1;
    const PgResult target =
        to < 0 ? PgResult() : c.Exec("SELECT job_id FROM zendral_jobs ORDER BY ord OFFSET $1 LIMIT 1", {to});
    qint64 place = -1;
    if (target.Ok() && target.Rows() == 1)
        place = to < view.index ? OrdBefore(c, target.Text(0, 0)) : OrdAfter(c, target.Text(0, 0));
    if (place < 0 || !c.Run("UPDATE zendral_jobs SET ord = $2 WHERE job_id = $1", {job_id, place})) {
        c.Rollback();
        return Reply(false, QByteArray());
    }
    return Reply(CommitChange(c, LogMove(c, job_id)), QByteArray());
}

// The operator's retry: waiting again at the tail, its failed runs forgotten.
Reply ClusterStore::Retry(const QString &job_id)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return Reply(false, BusyReply);
    static const QByteArray sql = HeldRecordSql("");
    const PgResult held = connection->Exec(sql.constData(), {job_id});
    std::unique_ptr<NesterJob> job(held.Ok() && held.Rows() == 1 ? ClusterRecord::FromJson(held.Bytes(0, 0)) : nullptr);
    if (!job || !QueueRules::Retry(*job)) {
        connection->Rollback();
        return Reply(false, held.Ok() ? QByteArray(JobNonExistent) : QByteArray(BusyReply));
    }
    if (!WriteFields(*connection, *job, RunEnd())
        || !connection->Run("UPDATE zendral_jobs SET ord = (SELECT max(ord) FROM zendral_jobs) + $2 WHERE job_id = $1",
                            {job_id, OrdGap})) {
        connection->Rollback();
        return Reply(false, BusyReply);
    }
    const qint64 put = LogPut(*connection, job_id);
    const qint64 seq = put ? LogMove(*connection, job_id) : 0;
    if (!CommitChange(*connection, seq))
        return Reply(false, BusyReply);
    qInfo().noquote() << "Job" << job_id << "retried by the operator";
    return Reply(true, QByteArray());
}

Reply ClusterStore::Hold(const QString &job_id, const QDateTime &until, bool *stopRun)
{
    return ChangeHold(job_id, true, until, stopRun);
}

Reply ClusterStore::Release(const QString &job_id)
{
    return ChangeHold(job_id, false, QDateTime(), nullptr);
}

// Any node may hold or release any job. A run on another node is stopped
// there when its mirror sees the hold (ApplyToMirror).
Reply ClusterStore::ChangeHold(const QString &job_id, bool hold, const QDateTime &until, bool *stopRun)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return Reply(false, BusyReply);
    static const QByteArray sql = HeldRecordSql("");
    const PgResult row = connection->Exec(sql.constData(), {job_id});
    std::unique_ptr<NesterJob> job(row.Ok() && row.Rows() == 1 ? ClusterRecord::FromJson(row.Bytes(0, 0)) : nullptr);
    const char *refusal = nullptr;
    if (!job)
        refusal = row.Ok() ? JobNonExistent : BusyReply;
    else if (hold && QueueRules::Hold(*job, until) == QueueRules::HoldResult::Refused)
        refusal = QueueReplies::NotHoldable;
    else if (!hold && !QueueRules::Release(*job))
        refusal = QueueReplies::NotHeld;
    if (refusal) {
        connection->Rollback();
        return Reply(false, refusal);
    }
    const PgParam untilParam = job->held_until.isValid() ? PgParam(job->held_until.toString(Qt::ISODate)) : PgParam();
    if (!connection->Run("UPDATE zendral_jobs SET held = $2, held_until = $3::timestamptz WHERE job_id = $1",
                         {job_id, hold ? "true" : "false", untilParam})
        || !CommitChange(*connection, LogPut(*connection, job_id)))
        return Reply(false, BusyReply);
    if (stopRun)
        *stopRun = hold && job->IsRunning() && job->node == settings.Node();
    qInfo().noquote() << "Job" << job_id << (hold ? "held by the operator" : "released by the operator");
    return Reply(true, QByteArray());
}

// GUI thread: only when the mirror holds a hold that has run out.
void ClusterStore::ReleaseDue()
{
    bool due = false;
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        std::lock_guard<std::mutex> locker(index.mutex);
        for (const NesterJob *job : index.HeldJobs())
            due = due || QueueRules::HoldExpired(*job, now);
    }
    QString error;
    PgPool::Handle connection = due ? pool.Acquire(&error) : PgPool::Handle();
    if (!connection || !BeginChange(*connection))
        return;
    const PgResult released = connection->Exec(
        "UPDATE zendral_jobs SET held = false, held_until = NULL WHERE held AND held_until <= now() RETURNING job_id");
    if (!released.Ok() || released.Rows() == 0) {
        connection->Rollback(); // released meanwhile by another node
        return;
    }
    qint64 seq = 1;
    for (int i = 0; seq && i < released.Rows(); ++i)
        seq = LogPut(*connection, released.Text(i, 0));
    if (!CommitChange(*connection, seq))
        return;
    for (int i = 0; i < released.Rows(); ++i)
        qInfo().noquote() << "Job" << released.Text(i, 0) << "released: its hold ran out";
}

// A shared queue's result may come from any node: the database has it.
QByteArray ClusterStore::Marker(const NesterJob &job)
{
    return MarkerExtractor().ExtractData(ResultBytes(job.job_id));
}

// A shared queue's job runs from its claim on: nothing to record.
void ClusterStore::Started(const QString &)
{
}

QByteArray ClusterStore::ResultBytes(const QString &job_id)
{
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection)
        return QByteArray();
    const PgResult result = connection->Exec("SELECT data FROM zendral_results WHERE job_id = $1", {job_id}, true);
    return result.Rows() == 1 ? result.Bytes(0, 0) : QByteArray();
}

// GUI thread. Claims the first waiting job in queue order whose retry time
// has come and that no other node is claiming, then fetches its document
// into a new job folder here.
PickedJob ClusterStore::Claim()
{
    static const QByteArray sql = QByteArrayLiteral(
        "UPDATE zendral_jobs AS j SET state = 1, node = $1, run_id = nextval('zendral_runs'), "
        "lease_until = now() + make_interval(secs => $2), start = to_char(now() AT TIME ZONE 'UTC', "
        "'YYYYMMDD\"T\"HH24MISS'), completed = 0, efficient = 0 WHERE job_id = (SELECT job_id FROM zendral_jobs "
        "WHERE state = 0 AND NOT held AND (retry_at IS NULL OR retry_at <= now()) ORDER BY ord LIMIT 1 "
        "FOR UPDATE SKIP LOCKED) "
        "RETURNING j.run_id, j.file_name, ") + ClusterRecord::JsonExpression();
    if (claimsSuspended && !FolderWorks())
        return PickedJob();
    if (claimsSuspended) {
        claimsSuspended = false;
        {
            std::lock_guard<std::mutex> lock(runsMutex);
            suspendedReason.clear();
        }
        qInfo().noquote() << "The jobs folder works again; node" << settings.Node() << "claims jobs again";
    }
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !BeginChange(*connection))
        return PickedJob();
    const PgResult claimed = connection->Exec(sql.constData(), {settings.Node(), settings.LeaseSeconds()});
    std::unique_ptr<NesterJob> job(claimed.Ok() && claimed.Rows() == 1 ? ClusterRecord::FromJson(claimed.Bytes(0, 2))
                                                                        : nullptr);
    if (!job) {
        connection->Rollback();
        return PickedJob();
    }
    const QString job_id = job->job_id;
    LocalRun run;
    run.run_id = claimed.Int(0, 0);
    run.runStart = job->start;
    if (!CommitChange(*connection, LogPut(*connection, job_id)))
        return PickedJob();
    const QString folder = folders.MakeJobFolder(job->from);
    run.file = folder.isEmpty() ? QString() : QDir(folder).absoluteFilePath(claimed.Text(0, 1));
    if (folder.isEmpty())
        error = QStringLiteral("no job folder could be made in %1").arg(folders.Dir().absolutePath());
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        runs.insert(job_id, run);
    }
    if (run.file.isEmpty() || !Fetch(*connection, job_id, run.file, &error)) {
        connection.reset(); // back to the pool before the end is written
        GiveBack(job_id, error);
        return PickedJob();
    }
    qInfo().noquote() << "Job" << job_id << "from" << job->from << "claimed by node" << settings.Node() << "run"
                      << run.run_id;
    return QueueRules::Picked(*job, run.file);
}

bool ClusterStore::FolderWorks()
{
    QTemporaryFile probe(folders.Dir().absoluteFilePath(QStringLiteral(".probe-XXXXXX")));
    return probe.open() && probe.write("probe", 5) == 5 && probe.flush();
}

void ClusterStore::GiveBack(const QString &job_id, const QString &error)
{
    if (!claimsSuspended)
        qCritical().noquote() << "Node" << settings.Node() << "cannot keep a job's document here (" << error
                              << "); job" << job_id << "goes back unclaimed and this node claims no job until its"
                              << "jobs folder works again";
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        suspendedReason = QStringLiteral("the jobs folder %1 cannot keep a job's document: %2")
                              .arg(folders.Dir().absolutePath(), error);
    }
    claimsSuspended = true;
    Ended(job_id, 1, QStringLiteral("document could not be fetched on node %1: %2").arg(settings.Node(), error), true,
          QString());
}

// The document, one stored piece at a time, into the job file.
bool ClusterStore::Fetch(PgConnection &connection, const QString &job_id, const QString &file, QString *error)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = out.errorString();
        return false;
    }
    for (int n = 0;; ++n) {
        const PgResult piece = connection.Exec("SELECT data FROM zendral_documents WHERE job_id = $1 AND n = $2",
                                               {job_id, n}, true);
        if (!piece.Ok()) {
            *error = connection.Error();
            return false;
        }
        if (piece.Rows() == 0) {
            if (n == 0) {
                *error = QStringLiteral("no document stored");
                return false;
            }
            break;
        }
        const QByteArray bytes = piece.Bytes(0, 0);
        if (out.write(bytes) != bytes.size()) {
            *error = out.errorString();
            return false;
        }
    }
    if (!out.commit()) {
        *error = out.errorString();
        return false;
    }
    return true;
}

// GUI thread. Progress renews the lease; a run that lost its job changes
// nothing and has its engine stopped. The report is one change, sent to the
// server as a whole (PgConnection::Batch) with short timeouts: it holds the
// queue's lock only while the server runs it, so a node that hangs here
// stalls no other node, and it waits for the lock only briefly (the GUI
// thread runs it; a report that finds the lock busy is dropped).
void ClusterStore::Progress(const QString &job_id, const QJsonObject &report)
{
    static const QByteArray logSql = QByteArrayLiteral("INSERT INTO zendral_changes (op, job_id, record) SELECT 'put', "
                                                       "j.job_id, ")
        + ClusterRecord::JsonExpression()
        + QByteArrayLiteral(" FROM zendral_jobs j WHERE j.job_id = $1 AND j.run_id = $2 AND j.state = 1 RETURNING seq");
    qint64 run_id = 0;
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        run_id = runs.value(job_id).run_id;
    }
    if (run_id == 0)
        return;
    const double percent = QueueRules::ReportedPercent(report);
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection)
        return; // the heartbeat keeps the lease; progress shows again later
    StopHereForTest("progress");
    const std::vector<PgResult> results = connection->Batch({
        {"BEGIN", {}},
        {"SET LOCAL statement_timeout = '2s'", {}},
        {"SET LOCAL lock_timeout = '200ms'", {}},
        {"SELECT pg_advisory_xact_lock($1)", {QueueLockKey}},
        {"UPDATE zendral_jobs SET completed = CASE WHEN $3 > completed AND $3 < 100 THEN $3 ELSE completed END, "
         "efficient = $4, lease_until = now() + make_interval(secs => $5) WHERE job_id = $1 AND run_id = $2 AND "
         "state = 1",
         {job_id, run_id, percent, report.value(QStringLiteral("efficiency")).toDouble(0), settings.LeaseSeconds()}},
        {logSql.constData(), {job_id, run_id}},
        {"SELECT pg_notify('zendral_changes', '')", {}},
        {"COMMIT", {}},
    });
    // The update's and the log's results, by their place in the batch.
    constexpr size_t Updated = 4, Logged = 5;
    const bool done = results.size() == 8 && results.back().Ok();
    if (!done) {
        connection->Rollback(); // the heartbeat keeps the lease; progress shows again later
        return;
    }
    if (results[Updated].Affected() == 0) {
        std::lock_guard<std::mutex> lock(runsMutex);
        if (!lost.contains(job_id))
            lost.append(job_id);
        return;
    }
    if (results[Logged].Rows() == 1)
        CatchUp(*connection, results[Logged].Int(0, 0));
}

// GUI thread. The result is kept beside the local copy and in the database
// (only while the run holds the job); without the database it waits here.
bool ClusterStore::Result(const QString &job_id, const QByteArray &bytes)
{
    if (bytes.isEmpty()) {
        qWarning().noquote() << "Result of job" << job_id << "is empty; not kept";
        return true;
    }
    LocalRun run;
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        auto it = runs.find(job_id);
        if (it == runs.end())
            return true; // no longer ours: nothing to keep it for
        it->result = bytes;
        it->resultDirty = true;
        run = *it;
    }
    if (!run.file.isEmpty()) {
        QSaveFile file(run.file + QStringLiteral("_RES"));
        if (!(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()))
            qWarning().noquote() << "Result of job" << job_id << "not written locally:" << file.errorString();
    }
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection)
        return true;
    const bool stored = connection->Run(
        "INSERT INTO zendral_results (job_id, data) SELECT $1, $2 WHERE EXISTS (SELECT 1 FROM zendral_jobs WHERE "
        "job_id = $1 AND run_id = $3 AND state = 1) ON CONFLICT (job_id) DO UPDATE SET data = EXCLUDED.data",
        {job_id, PgParam(bytes.isNull() ? QByteArray("") : bytes, true), run.run_id});
    if (stored) {
        std::lock_guard<std::mutex> lock(runsMutex);
        auto it = runs.find(job_id);
        if (it != runs.end() && it->run_id == run.run_id)
            it->resultDirty = false;
    }
    return true;
}

// GUI thread. The end of a run under the engine supervision rules: exit code
// 0 finishes the job (with its last result), a stop returns it to waiting at
// its place, any other end is a failed run.
void ClusterStore::Ended(const QString &job_id, int exit_code, const QString &reason, bool stopped,
                         const QString &engineOutput)
{
    LocalRun run;
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        auto it = runs.find(job_id);
        if (it == runs.end())
            return;
        it->ended = true;
        it->exitCode = exit_code;
        it->reason = reason;
        it->stopped = stopped;
        it->engineOutput = engineOutput;
        run = *it;
    }
    QString error;
    PgPool::Handle connection = pool.Acquire(&error);
    if (!connection || !WriteEnd(*connection, job_id, run)) {
        if (KeepEndOnDisk(job_id, run))
            qWarning().noquote() << "End of job" << job_id << "kept until the shared queue can be reached";
        else
            qCritical().noquote() << "End of job" << job_id << "kept in memory only until the shared queue can be"
                                  << "reached: the file beside its document could not be written";
        return;
    }
    DropLocalCopy(job_id, run.file);
}

// The queue's end-of-run rule applied to the record as the database holds
// it, inside the change's transaction.
bool ClusterStore::WriteEnd(PgConnection &connection, const QString &job_id, const LocalRun &run)
{
    static const QByteArray sql = HeldRecordSql(" AND j.run_id = $2 AND j.state = 1");
    if (!BeginChange(connection))
        return false;
    const PgResult held = connection.Exec(sql.constData(), {job_id, run.run_id});
    if (!held.Ok()) {
        connection.Rollback();
        return false;
    }
    std::unique_ptr<NesterJob> job(held.Rows() == 1 ? ClusterRecord::FromJson(held.Bytes(0, 0)) : nullptr);
    if (!job) {
        // Removed, or taken over after the lease ran out: nothing to write.
        connection.Rollback();
        qInfo().noquote() << "Run" << run.run_id << "of job" << job_id << "ended after the job left this node";
        return true;
    }
    const QString runStart = run.runStart.isEmpty() ? job->start : run.runStart;
    const RunResult result = run.result.isEmpty() ? RunResult::None : RunResult::Kept;
    const RunEnd end = QueueRules::EndRun(*job, run.exitCode, run.reason, run.stopped, result, settings.Failures(), 0);
    QueueRules::KeepRun(*job, end, runStart, run.engineOutput);
    bool ok = true;
    if (end.kind == RunEnd::Finished && !run.result.isNull())
        ok = connection.Run("INSERT INTO zendral_results (job_id, data) VALUES ($1, $2) ON CONFLICT (job_id) "
                            "DO UPDATE SET data = EXCLUDED.data",
                            {job_id, PgParam(run.result, true)});
    ok = ok && WriteFields(connection, *job, end);
    if (!ok) {
        connection.Rollback();
        return false;
    }
    return CommitChange(connection, LogPut(connection, job_id));
}

// Writes the fields the queue's rules change back to the job's row; the
// run, if any, is over. A retry waits for end.retryDelaySeconds from now.
bool ClusterStore::WriteFields(PgConnection &connection, const NesterJob &job, const RunEnd &end)
{
    return connection.Run(
        "UPDATE zendral_jobs SET state = $2, failed_runs = $3, error = $4, start = $5, completed = $6, efficient = $7, "
        "node = $8, retry_at = CASE WHEN $9::int >= 0 THEN now() + make_interval(secs => $9::int) ELSE NULL END, "
        "run_id = 0, lease_until = NULL, run_start = $10, run_end = $11, engine_output = $12, held = $13, "
        "held_until = $14::timestamptz WHERE job_id = $1",
        {job.job_id, int(job.state), int(job.failed_runs), job.error, job.start, job.completed, job.efficient, job.node,
         end.kind == RunEnd::Retry ? end.retryDelaySeconds : -1, job.run_start, job.run_end, job.engine_output,
         job.held ? "true" : "false",
         job.held_until.isValid() ? PgParam(job.held_until.toString(Qt::ISODate)) : PgParam()});
}

// The local copy goes when the run's end is in the database: only the job's
// own files, inside its job folder (NesterJob::Remove checks that).
void ClusterStore::DropLocalCopy(const QString &job_id, const QString &file)
{
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        runs.remove(job_id);
        lost.removeAll(job_id);
    }
    if (file.isEmpty())
        return;
    NesterJob copy;
    copy.job_id = job_id;
    copy.fileaex = file;
    copy.fileaexres = file + QStringLiteral("_RES");
    copy.Remove(folders);
}

bool ClusterStore::KeepEndOnDisk(const QString &job_id, const LocalRun &run)
{
    if (run.file.isEmpty())
        return false;
    QJsonObject end{{QStringLiteral("job_id"), job_id},
                    {QStringLiteral("run_id"), QString::number(run.run_id)},
                    {QStringLiteral("exit_code"), run.exitCode},
                    {QStringLiteral("reason"), run.reason},
                    {QStringLiteral("stopped"), run.stopped},
                    {QStringLiteral("engine_output"), run.engineOutput},
                    {QStringLiteral("run_start"), run.runStart}};
    if (!run.result.isNull())
        end.insert(QStringLiteral("result"), QString::fromLatin1(run.result.toBase64()));
    const QByteArray bytes = QJsonDocument(end).toJson(QJsonDocument::Compact);
    QSaveFile file(run.file + QLatin1String(RunEndSuffix));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() && file.commit();
}

// Load, on the GUI thread before the threads start: every kept end in a job
// folder of this jobs folder waits for the database again. The run number
// makes sure it is written only while its run still holds the job.
void ClusterStore::ReadKeptEnds()
{
    if (!folders.Ready())
        return;
    QDirIterator it(folders.Dir().absolutePath(), {QStringLiteral("*") + QLatin1String(RunEndSuffix)}, QDir::Files,
                    QDirIterator::Subdirectories);
    std::lock_guard<std::mutex> lock(runsMutex);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!folders.IsJobFolder(QFileInfo(path).absolutePath()))
            continue;
        QFile file(path);
        const QJsonObject end = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                                               : QJsonObject();
        LocalRun run;
        const QString job_id = end.value(QStringLiteral("job_id")).toString();
        run.run_id = end.value(QStringLiteral("run_id")).toString().toLongLong();
        if (job_id.isEmpty() || run.run_id <= 0) {
            qWarning().noquote() << "Kept end of a run not readable, left as it is:" << path;
            continue;
        }
        run.file = path.left(path.size() - int(qstrlen(RunEndSuffix)));
        run.ended = true;
        run.exitCode = end.value(QStringLiteral("exit_code")).toInt(1);
        run.reason = end.value(QStringLiteral("reason")).toString();
        run.stopped = end.value(QStringLiteral("stopped")).toBool();
        run.engineOutput = end.value(QStringLiteral("engine_output")).toString();
        run.runStart = end.value(QStringLiteral("run_start")).toString();
        if (end.contains(QStringLiteral("result")))
            run.result = QByteArray::fromBase64(end.value(QStringLiteral("result")).toString().toLatin1());
        runs.insert(job_id, run);
        qInfo().noquote() << "End of run" << run.run_id << "of job" << job_id
                          << "kept from before the restart; written once the shared queue can be reached";
    }
}

QStringList ClusterStore::TakeLostRuns()
{
    std::lock_guard<std::mutex> lock(runsMutex);
    QStringList taken;
    taken.swap(lost);
    return taken;
}

// Any thread: applies the log after the last applied change, in order. A
// node that fell behind the pruned part of the log reads the whole queue.
bool ClusterStore::CatchUp(PgConnection &connection, qint64 target)
{
    std::lock_guard<std::mutex> lock(catchUpMutex);
    if (!loaded)
        return Resync(connection) && applied >= target;
    while (target == 0 || applied < target) {
        const PgResult rows = connection.Exec(
            "SELECT seq, op, job_id, record, after FROM zendral_changes WHERE seq > $1 ORDER BY seq LIMIT $2",
            {applied, CatchUpBatch});
        const PgResult pruned = connection.Exec("SELECT value FROM zendral_meta WHERE key = 'pruned_below'");
        if (!rows.Ok() || !pruned.Ok())
            return false;
        if (applied + 1 < pruned.Int(0, 0))
            return Resync(connection) && applied >= target;
        if (rows.Rows() == 0)
            break;
        std::vector<QueueChange> changes;
        changes.reserve(size_t(rows.Rows()));
        for (int r = 0; r < rows.Rows(); ++r) {
            QueueChange change;
            const QByteArray op = rows.Bytes(r, 1);
            change.id = rows.Text(r, 2);
            if (op == "put") {
                change.kind = QueueChange::Put;
                change.job = ClusterRecord::FromJson(rows.Bytes(r, 3));
                if (!change.job)
                    continue;
            } else if (op == "del") {
                change.kind = QueueChange::Remove;
            } else if (op == "move") {
                change.kind = QueueChange::Move;
                change.after = rows.Text(r, 4);
            } else {
                continue;
            }
            changes.push_back(change);
        }
        ApplyToMirror(changes, false);
        DeleteChanges(changes); // what the mirror did not take
        applied = rows.Int(rows.Rows() - 1, 0);
        appliedSeen = applied;
        if (rows.Rows() < CatchUpBatch)
            break;
    }
    return applied >= target;
}

// catchUpMutex held.
bool ClusterStore::Resync(PgConnection &connection)
{
    std::vector<QueueChange> jobs;
    qint64 seq = 0;
    if (!ReadSnapshot(connection, jobs, &seq)) {
        DeleteChanges(jobs);
        return false;
    }
    ApplyToMirror(jobs, true);
    DeleteChanges(jobs);
    applied = seq;
    appliedSeen = seq;
    loaded = true;
    qInfo().noquote() << "Shared queue: the whole queue read at change" << seq;
    return true;
}

void ClusterStore::SleepUnlessStopping(std::chrono::milliseconds time)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    stopWake.wait_for(lock, time, [this] { return stopping.load(); });
}

bool ClusterStore::Connect(PgConnection &connection, bool report)
{
    QString error;
    if (!connection.Open(settings.Parameters())) {
        if (report)
            qWarning().noquote() << "Shared queue: the database cannot be reached:" << connection.Error()
                                 << "- new jobs are refused until it is back";
        return false;
    }
    if (!schemaReady) {
        if (!ClusterSchema::Prepare(connection, &error)) {
            qCritical().noquote() << "Shared queue: schema not ready:" << error;
            connection.Close();
            return false;
        }
        schemaReady = true;
    }
    if (!connection.Run("LISTEN zendral_changes")) {
        connection.Close();
        return false;
    }
    // Connections of the pool made before may be dead (a restarted server).
    pool.DropIdle();
    pool.MarkUp();
    connected = true;
    qInfo().noquote() << "Shared queue: connected to" << settings.Describe() << "as node" << settings.Node();
    return true;
}

// The watcher: follows the log (notifications, and a look every few seconds
// for one that was missed), writes what waited for the database, reaps expired leases and prunes the log. It
// reconnects with a growing pause while the database is away; a node reaps
// only once it has been connected for a lease, so that the nodes that come
// back with it renew their leases first.
void ClusterStore::Watch()
{
    Platform::KeepSignalsOffThisThread();
    PgConnection connection;
    auto backoff = std::chrono::milliseconds(500);
    const auto beatInterval = std::chrono::milliseconds(qMax(1000, settings.LeaseSeconds() * 1000 / 3));
    const auto leaseTime = std::chrono::seconds(settings.LeaseSeconds());
    Clock::time_point connectedAt, lastCatchUp, lastBeat, lastReap, lastPrune;
    bool report = true; // the first failure of an outage is logged
    while (!stopping) {
        if (!connection.IsOk()) {
            if (connected.exchange(false))
                qWarning().noquote() << "Shared queue: the connection to the database broke:" << connection.Error();
            const bool ok = Connect(connection, report);
            report = ok;
            if (!ok) {
                SleepUnlessStopping(backoff);
                backoff = qMin(backoff * 2, MaxBackoff);
                continue;
            }
            backoff = std::chrono::milliseconds(500);
            connectedAt = lastReap = lastPrune = Clock::now();
            FlushPending(connection);
            CatchUp(connection, 0);
            lastBeat = lastCatchUp = Clock::now();
            continue;
        }
        Platform::WaitReadable(connection.Socket(), int(WaitSlice.count()));
        const auto now = Clock::now();
        if (connection.TakeNotifications() > 0 || now - lastCatchUp >= RecheckInterval) {
            CatchUp(connection, 0);
            lastCatchUp = now;
        }
        if (now - lastBeat >= beatInterval) {
            FlushPending(connection);
            lastBeat = now;
        }
        if (now - connectedAt >= leaseTime && now - lastReap >= ReapInterval) {
            Reap(connection);
            lastReap = now;
        }
        if (now - lastPrune >= PruneInterval) {
            Prune(connection);
            lastPrune = now;
        }
    }
    if (connection.IsOk())
        connection.Run("DELETE FROM zendral_nodes WHERE name = $1", {settings.Node()});
    connected = false;
}

// The beat thread: the heartbeat and the lease renewal on a connection of
// their own, so that they never wait behind the watcher's work (a reap
// waiting for the queue's lock, say). Neither takes the queue's lock. While
// the database is away it tries again at each beat; the watcher reports.
void ClusterStore::Beat()
{
    Platform::KeepSignalsOffThisThread();
    PgConnection connection;
    const auto beatInterval = std::chrono::milliseconds(qMax(1000, settings.LeaseSeconds() * 1000 / 3));
    while (!stopping) {
        if (connection.IsOk() || connection.Open(settings.Parameters()))
            Heartbeat(connection);
        SleepUnlessStopping(beatInterval);
    }
}

// Beat thread. The node's heartbeat and its leases. A run whose lease could
// not be renewed was taken over: its engine is stopped.
void ClusterStore::Heartbeat(PgConnection &connection)
{
    const qint64 seen = appliedSeen.load();
    connection.Run("INSERT INTO zendral_nodes (name, heartbeat, last_seq, paused) VALUES ($1, now(), $2, $3) "
                   "ON CONFLICT (name) DO UPDATE SET heartbeat = now(), last_seq = $2, paused = $3",
                   {settings.Node(), seen, pausedHere.load() ? "true" : "false"});
    QHash<qint64, QString> live;
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        for (auto it = runs.cbegin(); it != runs.cend(); ++it) {
            if (!it->ended)
                live.insert(it->run_id, it.key());
        }
    }
    if (!live.isEmpty()) {
        QStringList ids;
        for (qint64 id : live.keys())
            ids << QString::number(id);
        const PgResult renewed = connection.Exec(
            "UPDATE zendral_jobs SET lease_until = now() + make_interval(secs => $1) WHERE state = 1 AND "
            "run_id = ANY($2::bigint[]) RETURNING run_id",
            {settings.LeaseSeconds(), QStringLiteral("{%1}").arg(ids.join(QLatin1Char(',')))});
        if (renewed.Ok()) {
            for (int r = 0; r < renewed.Rows(); ++r)
                live.remove(renewed.Int(r, 0));
            std::lock_guard<std::mutex> lock(runsMutex);
            for (auto it = live.cbegin(); it != live.cend(); ++it) {
                const auto run = runs.constFind(it.value());
                if (run != runs.cend() && run->run_id == it.key() && !run->ended && !lost.contains(it.value())) {
                    qWarning().noquote() << "Job" << it.value() << "was taken over by another node; its run here ends";
                    lost.append(it.value());
                }
            }
        }
    }
    const PgResult alive = connection.Exec(
        "SELECT name, paused FROM zendral_nodes WHERE heartbeat > now() - make_interval(secs => $1) ORDER BY name",
        {settings.LeaseSeconds()});
    if (alive.Ok()) {
        QList<Node> list;
        for (int i = 0; i < alive.Rows(); ++i)
            list.append({alive.Text(i, 0), alive.Text(i, 1) == QLatin1String("t")});
        nodes = list.size();
        std::lock_guard<std::mutex> lock(nodesMutex);
        nodeList = list;
    }
}

// Results and ends of runs that waited for the database.
void ClusterStore::FlushPending(PgConnection &connection)
{
    QList<QPair<QString, LocalRun>> waiting;
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        for (auto it = runs.cbegin(); it != runs.cend(); ++it) {
            if (it->ended || it->resultDirty)
                waiting.append({it.key(), *it});
        }
    }
    for (const auto &entry : waiting) {
        const LocalRun &run = entry.second;
        if (run.ended) {
            if (WriteEnd(connection, entry.first, run))
                DropLocalCopy(entry.first, run.file);
            continue;
        }
        if (connection.Run("INSERT INTO zendral_results (job_id, data) SELECT $1, $2 WHERE EXISTS (SELECT 1 FROM "
                           "zendral_jobs WHERE job_id = $1 AND run_id = $3 AND state = 1) ON CONFLICT (job_id) DO "
                           "UPDATE SET data = EXCLUDED.data",
                           {entry.first, PgParam(run.result, true), run.run_id})) {
            std::lock_guard<std::mutex> lock(runsMutex);
            auto it = runs.find(entry.first);
            if (it != runs.end() && it->run_id == run.run_id)
                it->resultDirty = false;
        }
    }
}

// Jobs whose lease ran out go back to waiting at their place, as a failed
// run (after the configured number of failed runs, failed).
void ClusterStore::Reap(PgConnection &connection)
{
    const PgResult any =
        connection.Exec("SELECT 1 FROM zendral_jobs WHERE state = 1 AND lease_until < now() LIMIT 1");
    if (!any.Ok() || any.Rows() == 0 || !BeginChange(connection))
        return;
    static const QByteArray sql = QByteArrayLiteral("SELECT ") + ClusterRecord::JsonExpression()
        + QByteArrayLiteral(" FROM zendral_jobs j WHERE j.state = 1 AND j.lease_until < now() FOR UPDATE");
    const PgResult reaped = connection.Exec(sql.constData());
    qint64 seq = reaped.Ok() && reaped.Rows() > 0 ? 1 : 0;
    for (int r = 0; seq != 0 && r < reaped.Rows(); ++r) {
        std::unique_ptr<NesterJob> job(ClusterRecord::FromJson(reaped.Bytes(r, 0)));
        if (!job)
            continue;
        const QString reason = QStringLiteral("lease expired on node %1").arg(job->node);
        const QString runStart = job->start;
        const RunEnd end = QueueRules::EndRun(*job, 1, reason, false, RunResult::None, settings.Failures(), 0);
        QueueRules::KeepRun(*job, end, runStart, QString());
        seq = WriteFields(connection, *job, end) ? LogPut(connection, job->job_id) : 0;
        qWarning().noquote() << "Job" << job->job_id << "returned to waiting:" << reason;
    }
    if (seq == 0)
        connection.Rollback();
    else
        CommitChange(connection, seq);
}

// Drops changes older than ten minutes that every live node has applied.
void ClusterStore::Prune(PgConnection &connection)
{
    const PgResult limit = connection.Exec(
        "SELECT LEAST((SELECT min(last_seq) FROM zendral_nodes WHERE heartbeat > now() - interval '10 minutes'), "
        "(SELECT max(seq) FROM zendral_changes WHERE at < now() - interval '10 minutes'))");
    if (!limit.Ok() || limit.IsNull(0, 0))
        return;
    const qint64 below = limit.Int(0, 0);
    if (connection.Begin()
        && connection.Run("UPDATE zendral_meta SET value = GREATEST(value, $1 + 1) WHERE key = 'pruned_below'",
                          {below})
        && connection.Run("DELETE FROM zendral_changes WHERE seq <= $1", {below}) && connection.Commit())
        return;
    connection.Rollback();
}

} // namespace Zendral
} // namespace Orvane
