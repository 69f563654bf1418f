#include "JournalStore.h"

#include "NesterJob.h"
#include "QueueIndex.h"

#include "Base64StreamWriter.h"
#include "SafeJson.h"
#include "WriteBackup.h"

#include <QBuffer>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <climits>

#include "NativePath.h"
#include "Platform.h"

namespace Orvane {
namespace Zendral {

const char *const JournalStore::JournalPrefix = "JOB_LIST.JOURNAL.";
const char *const JournalStore::BackupIdName = "JOB_LIST.BAKID";

namespace {

// A journal record as a change of the queue; false for one that is none.
// A put carries a new record (restored: an interrupted run is undone), and
// the document of a new job when the record holds it.
bool ParseChange(const QJsonObject &record, QueueChange *change)
{
    const QString op = record.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("put")) {
        auto *job = new NesterJob;
        job->FromJson(record.value(QStringLiteral("job")).toObject());
        if (job->job_id.isEmpty()) {
            delete job;
            return false;
        }
        change->kind = QueueChange::Put;
        change->id = job->job_id;
        change->job = job;
        change->document = record.value(QStringLiteral("doc")).toString().toLatin1();
        return true;
    }
    change->id = record.value(QStringLiteral("id")).toString();
    if (op == QLatin1String("del")) {
        change->kind = QueueChange::Remove;
        return true;
    }
    if (op == QLatin1String("move")) {
        change->kind = QueueChange::Move;
        change->after = record.value(QStringLiteral("after")).toString();
        return true;
    }
    return false;
}

constexpr qint64 MinCompactionLimit = 4 * 1024 * 1024;
constexpr size_t FailedRangesKept = 256;
// How long the writer holds a flush back at most for adds to come: long
// enough for a job file of ordinary size, short enough that a large one
// does not keep the others waiting.
constexpr auto CommitDelay = std::chrono::milliseconds(5);
// A thread that added a job this recently is expected to add again (a
// client answered sends its next add at once).
constexpr auto AddersWindow = std::chrono::milliseconds(50);

quint32 Crc32(const QByteArray &bytes)
{
    return JournalFile::Crc32(bytes.constData(), size_t(bytes.size()));
}

QByteArray CompactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The change's record, framed. A put (which may carry a document) is written
// behind the header's place, so its bytes are copied once.
QByteArray Framed(const QueueChange &change)
{
    switch (change.kind) {
    case QueueChange::Put: {
        // Keys in sorted order, as Qt writes them: "doc", "job", "op". The
        // document is Base64 alphabet only, so it needs no escaping.
        QByteArray payload;
        payload.reserve(JournalFile::HeaderSize + change.document.size() + change.record.size() + 32);
        payload.fill('\0', JournalFile::HeaderSize);
        if (!change.document.isEmpty())
            payload.append("{\"doc\":\"").append(change.document).append("\",\"job\":");
        else
            payload.append("{\"job\":");
        payload.append(change.record).append(",\"op\":\"put\"}");
        JournalFile::FillHeader(payload);
        return payload;
    }
    case QueueChange::Remove:
        return JournalFile::Frame(
            CompactJson({{QStringLiteral("id"), change.id}, {QStringLiteral("op"), QStringLiteral("del")}}));
    case QueueChange::Move:
        return JournalFile::Frame(CompactJson({{QStringLiteral("after"), change.after},
                                               {QStringLiteral("id"), change.id},
                                               {QStringLiteral("op"), QStringLiteral("move")}}));
    }
    // No record for a kind of change this version does not know: an empty
    // one would read as the end of the segment and hide the records after it.
    return QByteArray();
}

// The job file's bytes as the record's document decodes to them.
QByteArray DecodedDocument(const QByteArray &text)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    Base64StreamWriter::Write(text.constData(), text.size(), &buffer);
    return buffer.data();
}

QString NewId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Replaces `to` by `from` in one step (the new name is there, or the old).
bool ReplaceFile(const QString &from, const QString &to)
{
    return Platform::AtomicReplace(NativePath(from), NativePath(to));
}

// Writes a file whole and (unless the caller flushes it otherwise) flushes
// it to stable storage.
bool WriteDurably(const QString &path, const QByteArray &bytes, QString *error, bool flush = true)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.errorString();
        file.close();
        QFile::remove(path);
        return false;
    }
    file.close();
    if (flush && !JournalFile::SyncPath(path, false)) {
        *error = QStringLiteral("the file could not be flushed");
        QFile::remove(path);
        return false;
    }
    return true;
}

} // namespace

JournalStore::JournalStore(const QDir &jobsDir)
    : dir(jobsDir)
    , holdCap(CommitDelay)
    , addersWindow(AddersWindow)
{
    // Without its jobs folder the store keeps nothing: it never writes
    // anywhere else (an empty path would be the working folder).
    usable = !jobsDir.path().isEmpty() && jobsDir.path() != QLatin1String(".") && jobsDir.exists();
}

JournalStore::~JournalStore()
{
    // Without Close there is no final backup: the journal holds everything
    // for the next start.
    if (!closed)
        StopThreads();
}

// The writer writes what waits and ends; a compaction under way finishes.
void JournalStore::StopThreads()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_all();
    }
    if (writer.joinable())
        writer.join();
    JoinCompactor();
}

QString JournalStore::SegmentPath(int number) const
{
    return dir.absoluteFilePath(QStringLiteral("%1%2").arg(QLatin1String(JournalPrefix)).arg(number, 6, 10, QLatin1Char('0')));
}

QList<int> JournalStore::SegmentNumbers() const
{
    QList<int> numbers;
    const QString prefix = QLatin1String(JournalPrefix);
    for (const QString &name : dir.entryList({prefix + QLatin1Char('*')}, QDir::Files)) {
        bool ok = false;
        const int number = name.mid(prefix.size()).toInt(&ok);
        if (ok && number > 0 && name.size() == prefix.size() + 6)
            numbers << number;
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

void JournalStore::ReadBackupIds(BackupId *current, BackupId *previous) const
{
    QFile file(dir.absoluteFilePath(QLatin1String(BackupIdName)));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject object = SafeJson::Parse(file.readAll()).object();
    auto read = [&object](const char *key, BackupId *id) {
        const QJsonObject entry = object.value(QLatin1String(key)).toObject();
        id->id = entry.value(QStringLiteral("id")).toString();
        id->crc = quint32(entry.value(QStringLiteral("crc")).toDouble());
        id->size = qint64(entry.value(QStringLiteral("size")).toDouble(-1));
    };
    read("current", current);
    read("previous", previous);
}

bool JournalStore::WriteBackupIds(const BackupId &current, const BackupId &previous)
{
    auto entry = [](const BackupId &id) {
        return QJsonObject{{QStringLiteral("id"), id.id}, {QStringLiteral("crc"), double(id.crc)},
                           {QStringLiteral("size"), double(id.size)}};
    };
    const QString path = dir.absoluteFilePath(QLatin1String(BackupIdName));
    const QString temporary = path + QStringLiteral(".new");
    QString error;
    if (!WriteDurably(temporary, CompactJson({{QStringLiteral("current"), entry(current)},
                                          {QStringLiteral("previous"), entry(previous)}}),
                      &error)
        || !ReplaceFile(temporary, path)) {
        qWarning().noquote() << "Queue backup id not written:" << path << error;
        QFile::remove(temporary);
        return false;
    }
    return JournalFile::SyncPath(dir.absolutePath(), true);
}

void JournalStore::Load(QList<NesterJob *> &jobs)
{
    if (!usable) {
        qCritical() << "Queue store: no jobs folder, nothing is restored or kept";
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        return;
    }
    const QString bakPath = dir.absoluteFilePath(QLatin1String(WriteBackup::BackupName));
    QByteArray bak;
    bool haveBak = false;
    {
        QFile file(bakPath);
        if (file.open(QIODevice::ReadOnly)) {
            bak = file.readAll();
            haveBak = true;
        }
    }
    const quint32 bakCrc = Crc32(bak);
    BackupId current, previous;
    ReadBackupIds(&current, &previous);
    QString base;
    if (haveBak) {
        for (const BackupId &id : {current, previous}) {
            if (!id.id.isEmpty() && id.crc == bakCrc && id.size == bak.size()) {
                base = id.id;
                currentId = id;
                break;
            }
        }
    }
    compactionLimit = qMax(MinCompactionLimit, 2 * qint64(bak.size()));
    bool compact = false;
    if (!base.isEmpty() && WriteBackup::LoadBackupBytes(jobs, bak, true)) {
        // The backup is the one the journal follows: replay it.
        compact = !ReplayJournal(jobs, base);
    } else {
        // A folder of an older version (no backup id), or a backup that an
        // older version rewrote since: the journal does not belong to it.
        for (int number : SegmentNumbers())
            WriteBackup::SetAside(SegmentPath(number), "Queue journal does not belong to the queue backup");
        qDeleteAll(jobs);
        jobs.clear();
        if (haveBak && WriteBackup::LoadBackupBytes(jobs, bak)) {
            // The backup stays as it is; the journal starts following it.
            const BackupId adopted{NewId(), bakCrc, bak.size()};
            if (WriteBackupIds(adopted, BackupId())) {
                base = adopted.id;
                currentId = adopted;
            } else {
                compact = true;
            }
        } else {
            qDeleteAll(jobs);
            jobs.clear();
            WriteBackup::LoadJobs(jobs, dir); // an unreadable backup is kept aside; the folder scan
            compact = true;
        }
    }
    if (compact) {
        // Fold what was restored into a new backup that the journal follows.
        QueueSnapshot snapshot;
        snapshot.reserve(jobs.size());
        for (const NesterJob *job : qAsConst(jobs))
            snapshot.append({job->ToRecord(), job->IsWaiting()});
        const QString newId = NewId();
        const QList<int> numbers = SegmentNumbers();
        if (WriteBackupFile(snapshot, newId, false, numbers.isEmpty() ? 1 : numbers.last() + 1))
            base = newId;
        else
            qCritical() << "Queue backup not written at start-up; the journal goes on as it is";
    }
    if (base.isEmpty()) {
        // A journal without a backup on stable storage would be set aside at
        // the next start: nothing is acknowledged until one is written. Each
        // change tries again (a compaction), so freeing space is enough.
        baseMissing = true;
        bytesSinceRotation = compactionLimit;
        qCritical() << "Queue backup missing: changes are refused until it can be written in" << dir.absolutePath();
    }
    OpenForAppend(base);
    writer = std::thread(&JournalStore::WriterLoop, this);
}

// Appends to the newest segment (the replay read it to its end and cut off a
// torn last record), or starts the first one, following `base`. A newest
// segment without a whole record (a crash came between making the file and
// writing its header) is started again: records appended there would be
// taken for the header.
void JournalStore::OpenForAppend(const QString &base)
{
    QList<int> numbers = SegmentNumbers();
    rotatedTo = base;
    if (!numbers.isEmpty() && !HasRecords(SegmentPath(numbers.last()))) {
        qWarning().noquote() << "Queue journal: segment" << SegmentPath(numbers.last())
                             << "has no header (a crash while it was started); it is started again";
        QFile::remove(SegmentPath(numbers.last()));
        numbers.removeLast();
    }
    if (!numbers.isEmpty() && segment.Open(SegmentPath(numbers.last()), false)) {
        segmentNumber = numbers.last();
        return;
    }
    const int next = numbers.isEmpty() ? 1 : numbers.last() + 1;
    if (!StartSegment(next, base))
        qCritical().noquote() << "Queue journal cannot be started:" << SegmentPath(next) << segment.ErrorString();
}

// Whether the segment holds a whole record (its header at least).
bool JournalStore::HasRecords(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    qint64 good = 0;
    bool damaged = false;
    return !JournalFile::ReadRecords(file.readAll(), &good, &damaged).isEmpty();
}

bool JournalStore::IsHeader(const QByteArray &record)
{
    return SafeJson::Parse(record).object().value(QStringLiteral("op")).toString() == QLatin1String("segment");
}

bool JournalStore::StartSegment(int number, const QString &base)
{
    if (!segment.Open(SegmentPath(number), true))
        return false;
    const QByteArray header = CompactJson({{QStringLiteral("base"), base}, {QStringLiteral("op"), QStringLiteral("segment")}});
    if (!segment.Append(JournalFile::Frame(header)) || !segment.Sync()
        || !JournalFile::SyncPath(dir.absolutePath(), true)) {
        segment.Close();
        QFile::remove(SegmentPath(number));
        return false;
    }
    segmentNumber = number;
    return true;
}

// Replays the segments from the one that follows `base` on. Segments before
// it are folded into the backup already and go. False when a damaged record
// stopped the replay before the end of the journal (a torn last record is
// normal after a crash and only logged).
bool JournalStore::ReplayJournal(QList<NesterJob *> &jobs, const QString &base)
{
    const QList<int> numbers = SegmentNumbers();
    int start = -1;
    QList<QList<QByteArray>> contents;
    QList<bool> damage;
    qint64 lastGood = 0;
    for (int i = 0; i < numbers.size(); ++i) {
        QFile file(SegmentPath(numbers.at(i)));
        qint64 good = 0;
        bool damaged = false;
        const QList<QByteArray> records =
            file.open(QIODevice::ReadOnly) ? JournalFile::ReadRecords(file.readAll(), &good, &damaged) : QList<QByteArray>();
        const QJsonObject header = records.isEmpty() ? QJsonObject() : SafeJson::Parse(records.first()).object();
        if (start < 0 && header.value(QStringLiteral("base")).toString() == base)
            start = i;
        if (start >= 0)
            bytesSinceRotation += good;
        contents << records;
        damage << damaged;
        lastGood = good;
    }
    // The changes are applied as a shared queue's change log is: one
    // function (QueueIndex::Apply) for both.
    QueueIndex replayed;
    for (NesterJob *job : qAsConst(jobs))
        replayed.Insert(job, false);
    jobs.clear();
    bool clean = true;
    QHash<QString, QByteArray> documents; // job id -> the document its record carries
    for (int i = qMax(start, 0); start >= 0 && i < numbers.size(); ++i) {
        const QList<QByteArray> &records = contents.at(i);
        std::vector<QueueChange> changes;
        changes.reserve(size_t(records.size()));
        // Record 0 is the header, unless a crash left the segment without
        // one (its records were appended by an older version).
        for (int r = records.isEmpty() || IsHeader(records.first()) ? 1 : 0; r < records.size(); ++r) {
            QueueChange change;
            if (ParseChange(SafeJson::Parse(records.at(r)).object(), &change)) {
                if (!change.document.isEmpty())
                    documents.insert(change.id, change.document);
                changes.push_back(change);
            }
        }
        replayed.Apply(changes, false);
        for (QueueChange &change : changes)
            delete change.job; // a put the queue did not take
        if (damage.at(i)) {
            if (i + 1 == numbers.size()) {
                qWarning().noquote() << "Queue journal: a record cut off by a crash at the end of"
                                     << SegmentPath(numbers.at(i)) << "was ignored";
                // New records follow the last whole one.
                QFile file(SegmentPath(numbers.at(i)));
                if (!file.resize(lastGood))
                    clean = false;
            } else {
                qCritical().noquote() << "Queue journal: a damaged record in" << SegmentPath(numbers.at(i))
                                      << "- the changes after it were not restored";
                clean = false;
                break;
            }
        }
    }
    jobs = replayed.Release();
    // Job files that a crash cut short or lost come back from their records.
    for (const NesterJob *job : qAsConst(jobs)) {
        const auto document = documents.constFind(job->job_id);
        if (document != documents.constEnd())
            RepairJobFile(job->fileaex, *document);
    }
    // A job whose file is gone cannot run (as for the backup's records).
    for (auto it = jobs.begin(); it != jobs.end();) {
        if ((*it)->fileaex.isEmpty() || !QFile::exists((*it)->fileaex)) {
            qWarning() << "Journal record dropped, job file missing:" << (*it)->job_id << (*it)->fileaex;
            delete *it;
            it = jobs.erase(it);
        } else {
            ++it;
        }
    }
    if (start < 0 && !numbers.isEmpty()) {
        // None follows this backup: they were folded into it before.
        for (int number : numbers)
            QFile::remove(SegmentPath(number));
    }
    for (int i = 0; i < start; ++i)
        QFile::remove(SegmentPath(numbers.at(i)));
    return clean;
}

void JournalStore::SetSnapshotSource(SnapshotSource source)
{
    std::lock_guard<std::mutex> lock(mutex);
    snapshotSource = std::move(source);
}

void JournalStore::SetCommitHold(std::chrono::milliseconds cap, std::chrono::milliseconds window)
{
    std::lock_guard<std::mutex> lock(mutex);
    holdCap = cap;
    addersWindow = window;
}

void JournalStore::SetCompactionLimit(qint64 bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    compactionLimit = bytes;
}

void JournalStore::SetSyncHook(std::function<bool()> hook)
{
    std::lock_guard<std::mutex> lock(mutex);
    syncHook = std::move(hook);
}

void JournalStore::SetCheckpointHook(std::function<bool()> hook)
{
    std::lock_guard<std::mutex> lock(mutex);
    checkpointHook = std::move(hook);
}

void JournalStore::SetCommitObserver(std::function<void(double)> observer)
{
    std::lock_guard<std::mutex> lock(mutex);
    commitObserver = std::move(observer);
}

// Writer thread: the flush of the records written; a test's hook runs first,
// the observer hears how long the flush took.
bool JournalStore::SyncSegment()
{
    std::function<bool()> hook;
    std::function<void(double)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex);
        hook = syncHook;
        observer = commitObserver;
    }
    if (hook && !hook())
        return false;
    const auto begin = std::chrono::steady_clock::now();
    const bool synced = segment.Sync();
    if (observer)
        observer(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    return synced;
}

quint64 JournalStore::FlushCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return flushes;
}

quint64 JournalStore::Record(const QueueChange &change)
{
    Item item;
    item.framed = Framed(change);
    if (item.framed.isEmpty()) {
        qCritical() << "Queue change of unknown kind" << int(change.kind) << "not recorded";
        return 0;
    }
    item.newFile = change.newFile;
    item.inlined = !change.document.isEmpty();
    item.durable = change.durable;
    if (!item.newFile.isEmpty())
        item.adder = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    if (closed || stopping)
        return 0;
    item.seq = nextSeq++;
    if (!item.newFile.isEmpty()) {
        ++pendingAdds;
        if (expected > 0)
            --expected;
    }
    bytesSinceRotation += item.framed.size();
    pending.push_back(std::move(item));
    const quint64 ticket = pending.back().seq;
    StartCompaction();
    WakeWriterIfDue(lock);
    return ticket;
}

// With `mutex` held, which it releases: the writer is woken only when it
// waits for work, or holds a flush back that is no longer to be held (not
// for every add that it still waits for).
void JournalStore::WakeWriterIfDue(std::unique_lock<std::mutex> &lock)
{
    const bool due = writerIdle || (holdTarget >= 0 && HoldOver());
    lock.unlock();
    if (due)
        wake.notify_one();
}

bool JournalStore::HoldOver() const
{
    return expected == 0 && pendingAdds >= holdTarget;
}

void JournalStore::ExpectChange()
{
    std::lock_guard<std::mutex> lock(mutex);
    ++expected;
}

void JournalStore::ChangeGivenUp()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (expected > 0)
        --expected;
    WakeWriterIfDue(lock);
}

// With `mutex` and the queue mutex held: the copy of the queue matches the
// journal exactly up to the rotation that follows it in `pending`.
void JournalStore::StartCompaction()
{
    if (compacting || !snapshotSource || bytesSinceRotation < compactionLimit)
        return;
    compacting = true;
    bytesSinceRotation = 0;
    QueueSnapshot snapshot = snapshotSource();
    Item rotate;
    rotate.rotateTo = NewId();
    compactionId = rotate.rotateTo;
    const QString newId = rotate.rotateTo;
    pending.push_back(std::move(rotate));
    if (compactor.joinable())
        compactor.join(); // the earlier one has finished (compacting was false)
    compactor = std::thread(&JournalStore::Compact, this, std::move(snapshot), newId);
}

void JournalStore::Compact(QueueSnapshot snapshot, QString newId)
{
    Platform::NameThisThread("store-compact");
    Platform::KeepSignalsOffThisThread();
    const bool ok = WriteBackupFile(snapshot, newId, true, -1);
    std::lock_guard<std::mutex> lock(mutex);
    compacting = false;
    published.notify_all();
    if (ok && baseMissing) {
        baseMissing = false;
        qInfo() << "Queue backup written; changes are taken again";
    }
    if (ok)
        compactionLimit = qMax(MinCompactionLimit, 2 * currentId.size);
    else
        bytesSinceRotation = compactionLimit; // try again at the next change
}

bool JournalStore::WriteBackupFile(const QueueSnapshot &snapshot, const QString &newId, bool waitForRotation,
                                   int deleteBelow)
{
    const QString bakPath = dir.absoluteFilePath(QLatin1String(WriteBackup::BackupName));
    const QString temporary = bakPath + QStringLiteral(".new");
    const QByteArray bytes = WriteBackup::Serialize(snapshot);
    QString error;
    if (failBackupWrites) {
        qWarning().noquote() << "Queue backup not written:" << temporary << "(failure planted by a test)";
        return false;
    }
    // Where the checkpoint is one syncfs, that flushes the backup as well:
    // a flush of its own would cost a second commit of the file system's
    // journal, behind which the queue's journal waits.
    const bool checkpointFlushesAll = Platform::HasFileSystemSync();
    if (!WriteDurably(temporary, bytes, &error, !checkpointFlushesAll)) {
        qWarning().noquote() << "Queue backup not written:" << temporary << error;
        return false;
    }
    BackupId previous;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (waitForRotation) {
            // The backup may replace the older one only once the journal
            // goes on in a segment that follows it.
            published.wait(lock, [&] { return rotatedTo == newId || rotationFailed == newId || writerDone; });
            if (rotatedTo != newId) {
                lock.unlock();
                QFile::remove(temporary);
                return false;
            }
            deleteBelow = rotatedNumber;
        }
        previous = currentId;
    }
    const BackupId next{newId, Crc32(bytes), bytes.size()};
    // Once the backup is in place the older segments no longer count, and
    // with them the documents their records carry: the job files (and the
    // backup) go to stable storage first.
    if (!Checkpoint(checkpointFlushesAll)) {
        qWarning().noquote() << "Queue backup not put in place, the job files could not be flushed:" << bakPath;
        QFile::remove(temporary);
        return false;
    }
    if (!WriteBackupIds(next, previous) || !ReplaceFile(temporary, bakPath)
        || !JournalFile::SyncPath(dir.absolutePath(), true)) {
        qWarning().noquote() << "Queue backup not put in place:" << bakPath;
        QFile::remove(temporary);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        currentId = next;
    }
    for (int number : SegmentNumbers()) {
        if (deleteBelow < 0 || number < deleteBelow)
            QFile::remove(SegmentPath(number));
    }
    JournalFile::SyncPath(dir.absolutePath(), true);
    return true;
}

void JournalStore::JoinCompactor()
{
    if (compactor.joinable())
        compactor.join();
}

void JournalStore::WriterLoop()
{
    Platform::NameThisThread("store-writer");
    Platform::KeepSignalsOffThisThread();
    for (;;) {
        std::vector<Item> batch;
        {
            std::unique_lock<std::mutex> lock(mutex);
            writerIdle = true;
            wake.wait(lock, [this] { return !pending.empty() || stopping; });
            writerIdle = false;
            if (pending.empty()) {
                writerDone = true;
                published.notify_all();
                return;
            }
            HoldForAdds(lock);
            batch.reserve(pending.size());
            std::move(pending.begin(), pending.end(), std::back_inserter(batch));
            pending.clear();
            pendingAdds = 0;
        }
        const auto now = RecentAdders::Clock::now();
        for (const Item &item : batch)
            if (item.adder != std::thread::id())
                adders.Saw(item.adder, now);
        WriteBatch(batch);
    }
}

// Group commit: new jobs whose files are being written join this flush
// rather than wait for the next one, and so do as many adds as threads
// added lately (each of those sends its next add once its last is
// answered), for at most holdCap. With `mutex` held (writer thread).
void JournalStore::HoldForAdds(std::unique_lock<std::mutex> &lock)
{
    holdTarget = adders.Count(RecentAdders::Clock::now(), addersWindow);
    const auto ready = [this] { return stopping || HoldOver(); };
    if (!ready())
        wake.wait_for(lock, holdCap, ready);
    holdTarget = -1;
}

// Everything that waited when the writer woke goes out in one write and,
// when any of it is awaited, one flush.
void JournalStore::WriteBatch(std::vector<Item> &batch)
{
    QByteArray buffer;
    QStringList newFiles;
    QStringList inlined; // new jobs' files that their records make durable
    bool durable = false;
    quint64 first = 0;
    quint64 last = 0;
    // beforeRotation: the segment is closed next, and grows by no zeros.
    auto flush = [&](bool beforeRotation) {
        if (first == 0)
            return;
        bool ok = AwaitBase();
        ok = ok && (newFiles.isEmpty() || SyncNewFiles(newFiles));
        ok = ok && segment.Append(buffer, beforeRotation);
        if (ok && durable) {
            ok = SyncSegment();
            std::lock_guard<std::mutex> lock(mutex);
            ++flushes;
        }
        if (!inlined.isEmpty())
            NoteUnflushed(inlined);
        if (!ok)
            qWarning().noquote() << "Queue journal not written:" << segment.Path() << segment.ErrorString();
        Publish(first, last, ok);
        buffer.clear();
        newFiles.clear();
        inlined.clear();
        durable = false;
        first = last = 0;
    };
    for (Item &item : batch) {
        if (!item.rotateTo.isEmpty()) {
            flush(true);
            Rotate(item.rotateTo);
            continue;
        }
        if (first == 0)
            first = item.seq;
        last = item.seq;
        buffer += item.framed;
        durable = durable || item.durable;
        if (item.inlined)
            inlined << item.newFile;
        else if (!item.newFile.isEmpty())
            newFiles << item.newFile;
    }
    flush(false);
}

// The new jobs' files and folder entries reach stable storage before the
// records that name them. On Linux one syncfs covers all of them (the jobs
// folder is one file system); elsewhere each file and folder is flushed.
bool JournalStore::SyncNewFiles(const QStringList &files)
{
    if (Platform::HasFileSystemSync()) {
        const bool ok = Platform::SyncFileSystem(NativePath(dir.absolutePath()));
        std::lock_guard<std::mutex> lock(mutex);
        ++flushes;
        return ok;
    }
    for (const QString &file : files) {
        const QFileInfo info(file);
        if (!JournalFile::SyncPath(file, false) || !JournalFile::SyncPath(info.absolutePath(), true)
            || !JournalFile::SyncPath(QFileInfo(info.absolutePath()).absolutePath(), true))
            return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    flushes += quint64(files.size());
    return JournalFile::SyncPath(dir.absolutePath(), true);
}

// Writer thread (and Load): job files whose records carry their documents;
// they are flushed at the next checkpoint.
void JournalStore::NoteUnflushed(const QStringList &files)
{
    std::lock_guard<std::mutex> lock(mutex);
    unflushedCount += quint64(files.size());
    // syncfs needs no names; elsewhere each file is flushed by name.
    if (!Platform::HasFileSystemSync())
        unflushedFiles += files;
}

// Compactor thread, or the owner's in Load and Close: the job files noted
// so far go to stable storage (one syncfs on Linux). Files noted meanwhile
// may be flushed too, which does no harm.
bool JournalStore::Checkpoint(bool evenWithoutFiles)
{
    QStringList files;
    quint64 count = 0;
    std::function<bool()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex);
        count = unflushedCount;
        unflushedCount = 0;
        files.swap(unflushedFiles);
        hook = checkpointHook;
    }
    if (count == 0 && !evenWithoutFiles)
        return true;
    if ((!hook || hook()) && SyncNewFiles(files))
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    unflushedCount += count;
    unflushedFiles += files;
    return false;
}

// Load: rewrites a job file that is missing, or whose bytes are not the
// document its record carries (a crash before the file reached stable
// storage). Only a file at <jobs>/<client>/<job folder>/<name> is written.
void JournalStore::RepairJobFile(const QString &path, const QByteArray &text)
{
    const QString relative = dir.relativeFilePath(QDir::cleanPath(path));
    const QStringList parts = relative.split(QLatin1Char('/'));
    if (QDir::isAbsolutePath(relative) || parts.size() != 3 || parts.contains(QStringLiteral(".."))
        || parts.contains(QString())) {
        qWarning().noquote() << "Job file not restored, it lies outside the jobs folder:" << path;
        return;
    }
    const QByteArray document = DecodedDocument(text);
    QFile file(dir.absoluteFilePath(relative));
    const QFileInfo info(file.fileName());
    if (info.isSymLink())
        return;
    if (info.isFile() && info.size() == document.size() && file.open(QIODevice::ReadOnly)) {
        const bool same = file.readAll() == document;
        file.close();
        if (same)
            return;
    }
    QString error;
    if (!dir.mkpath(parts.at(0) + QLatin1Char('/') + parts.at(1)) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(document) != document.size() || !file.flush()) {
        qWarning().noquote() << "Job file could not be restored from the journal:" << path << file.errorString();
        return;
    }
    file.close();
    qWarning().noquote() << "Job file restored from the journal (a crash cut it short):" << path;
    NoteUnflushed({file.fileName()});
}

// Writer thread. Without a backup on stable storage nothing is written.
// Changes recorded after the rotation of a compaction under way wait for
// its backup, which the compaction has then only to put in place.
bool JournalStore::AwaitBase()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (baseMissing && compacting && rotatedTo == compactionId)
        published.wait(lock, [this] { return !compacting; });
    return !baseMissing;
}

void JournalStore::Publish(quint64 from, quint64 to, bool ok)
{
    Settled due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!ok) {
            failed.emplace_back(from, to);
            if (failed.size() > FailedRangesKept)
                failed.erase(failed.begin());
        }
        doneSeq = qMax(doneSeq, to);
        due = TakeSettledWaiters();
    }
    Wake(due);
}

JournalStore::Settled JournalStore::TakeSettledWaiters()
{
    Settled due;
    const auto settled = [this](const std::shared_ptr<Waiter> &waiter) { return waiter->ticket <= doneSeq; };
    for (const std::shared_ptr<Waiter> &waiter : waiters) {
        if (settled(waiter))
            due.emplace_back(waiter, !IsFailed(waiter->ticket));
    }
    waiters.erase(std::remove_if(waiters.begin(), waiters.end(), settled), waiters.end());
    return due;
}

// The shared pointers keep each waiter alive until it is notified, even if
// its session wakes and returns in between.
void JournalStore::Wake(const Settled &due)
{
    for (const auto &[waiter, ok] : due) {
        {
            std::lock_guard<std::mutex> lock(waiter->lock);
            waiter->settled = true;
            waiter->ok = ok;
        }
        waiter->woken.notify_one();
    }
}

bool JournalStore::IsFailed(quint64 ticket) const
{
    for (const auto &range : failed) {
        if (ticket >= range.first && ticket <= range.second)
            return true;
    }
    return false;
}

// Writer thread: the journal goes on in a new segment whose header names the
// backup that a compaction is writing.
void JournalStore::Rotate(const QString &base)
{
    segment.Sync();
    const int previousNumber = segmentNumber;
    segment.Close();
    if (!StartSegment(previousNumber + 1, base)) {
        qWarning().noquote() << "Queue journal segment not started:" << SegmentPath(previousNumber + 1)
                             << segment.ErrorString();
        segment.Open(SegmentPath(previousNumber), false);
        segmentNumber = previousNumber;
        std::lock_guard<std::mutex> lock(mutex);
        rotationFailed = base;
        published.notify_all();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    rotatedTo = base;
    rotatedNumber = segmentNumber;
    published.notify_all();
}

bool JournalStore::WaitDurable(quint64 ticket)
{
    if (ticket == 0)
        return false;
    const auto me = std::make_shared<Waiter>();
    me->ticket = ticket;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (doneSeq >= ticket)
            return !IsFailed(ticket);
        waiters.push_back(me);
    }
    std::unique_lock<std::mutex> lock(me->lock);
    me->woken.wait(lock, [&] { return me->settled; });
    return me->ok;
}

void JournalStore::Close(const QueueSnapshot &finalState)
{
    if (!usable)
        return;
    StopThreads();
    Settled due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        // Whoever still waits is told now (the writer wrote everything).
        doneSeq = nextSeq - 1;
        published.notify_all();
        due = TakeSettledWaiters();
    }
    Wake(due);
    segment.Close();
    if (WriteBackupFile(finalState, NewId(), false, INT_MAX))
        qInfo().noquote() << "Queue saved:" << finalState.size() << "jobs;" << FlushCount() << "flushes this run";
    else
        qCritical() << "Queue backup not written at exit; the journal keeps the queue for the next start";
}

} // namespace Zendral
} // namespace Orvane
