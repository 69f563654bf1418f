// Small documents travel in the journal: which records carry them, that a
// group commit is then one flush, that the job files are flushed before a
// compaction drops the segments that hold their documents, that a journal
// and a backup of the version before still read, and that a record can
// never make the restore write outside the jobs folder.

#include "JournalFile.h"
#include "JournalStore.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "TestMain.h"
#include "WriteBackup.h"

#include <QJsonArray>
#include <QSettings>
#include <QtTest>

#include <atomic>

using namespace Orvane::Zendral;

namespace {

const QString Client = QStringLiteral("127.0.0.1");

JournalStore *Journal(LocalServer &server)
{
    return dynamic_cast<JournalStore *>(server.Store());
}

QByteArray Document(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

// The put records of all journal segments, by job id.
QHash<QString, QJsonObject> PutRecords()
{
    QHash<QString, QJsonObject> puts;
    const QDir dir(StoreTest::JobsPath());
    for (const QString &name : dir.entryList({QStringLiteral("JOB_LIST.JOURNAL.*")}, QDir::Files, QDir::Name)) {
        qint64 good = 0;
        bool damaged = false;
        for (const QByteArray &payload : JournalFile::ReadRecords(StoreTest::ReadFile(dir.filePath(name)), &good, &damaged)) {
            const QJsonObject record = QJsonDocument::fromJson(payload).object();
            if (record.value("op").toString() == "put")
                puts.insert(record.value("job").toObject().value("job_id").toString(), record);
        }
    }
    return puts;
}

// A record as the version before wrote it: a job's fields in Qt's key order.
QByteArray OldPut(const QString &id, const QString &file, const QString &name)
{
    return QStringLiteral(R"({"job":{"completed":0,"efficient":0,"fileaex":"%1","fileaexres":"%1_RES",)"
                          R"("from":"127.0.0.1","job_id":"%2","job_name":"%3","position":0,"start":"",)"
                          R"("state":0,"submit_time":"2026-12-01 10:00:00","time":30},"op":"put"})")
        .arg(file, id, name)
        .toUtf8();
}

// A jobs folder whose backup is empty and whose journal (following it) holds
// `records` after its header.
bool WriteJournalFolder(const QList<QByteArray> &records)
{
    const QString jobs = StoreTest::JobsPath();
    const QByteArray bak = "[]";
    const QByteArray ids = QStringLiteral(R"({"current":{"crc":%1,"id":"base-1","size":2},"previous":{"crc":0,"id":"","size":-1}})")
                               .arg(JournalFile::Crc32(bak.constData(), size_t(bak.size())))
                               .toUtf8();
    QByteArray segment = JournalFile::Frame(R"({"base":"base-1","op":"segment"})");
    for (const QByteArray &record : records)
        segment += JournalFile::Frame(record);
    return StoreTest::WriteFile(jobs + "/JOB_LIST.BAK", bak) && StoreTest::WriteFile(jobs + "/JOB_LIST.BAKID", ids)
        && StoreTest::WriteFile(jobs + "/JOB_LIST.JOURNAL.000001", segment);
}

} // namespace

class TestJournalInline : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void recordsCarrySmallDocumentsOnly();
    void checkpointBeforeSegmentsGo();
    void failedCheckpointKeepsTheJournal();
    void journalOfPreviousVersionRestores();
    void backupStaysReadableByPreviousVersion();
    void repairStaysInsideJobsFolder();
};

void TestJournalInline::init()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("journalinline")));
    QSettings settings;
    settings.setValue("store/inline_max_kb", 1);
    settings.sync();
}

void TestJournalInline::cleanup()
{
    QSettings().clear();
}

// A document of at most store/inline_max_kb travels in its record (text
// with bytes outside the Base64 alphabet too) and costs the journal's one
// flush; a larger one is flushed as a file first and its record does not
// carry it. Both files hold exactly the document, also after a restart.
void TestJournalInline::recordsCarrySmallDocumentsOnly()
{
    const QByteArray small = Document(700, 'a');
    const QByteArray large = Document(1500, 'b');
    QString smallId, largeId;
    QString smallFile, largeFile;
    {
        LocalServer server;
        JournalStore *journal = Journal(server);
        QVERIFY(journal);
        QString text = QString::fromLatin1(small.toBase64());
        text.insert(100, QStringLiteral("\r\n ")); // skipped by every reader of Base64
        QJsonObject request{{"job_name", "small.aex"}, {"work_data", text}};
        quint64 before = journal->FlushCount();
        const Reply first = server.AddNesterJob(QJsonDocument(request).toJson(QJsonDocument::Compact), Client);
        QVERIFY(first.first);
        QCOMPARE(journal->FlushCount(), before + 1);
        before = journal->FlushCount();
        const Reply second = server.AddNesterJob(StoreTest::AddRequest("large.aex", large), Client);
        QVERIFY(second.first);
        QCOMPARE(journal->FlushCount(), before + 2); // the job file, then the record
        smallId = QString::fromLatin1(first.second);
        largeId = QString::fromLatin1(second.second);
        NesterJob job;
        QVERIFY(server.CopyJob(smallId, &job));
        smallFile = job.fileaex;
        QVERIFY(server.CopyJob(largeId, &job));
        largeFile = job.fileaex;
        const QHash<QString, QJsonObject> puts = PutRecords();
        QCOMPARE(QByteArray::fromBase64(puts.value(smallId).value("doc").toString().toLatin1()), small);
        QVERIFY(!puts.value(largeId).contains("doc"));
        QCOMPARE(StoreTest::ReadFile(smallFile), small);
        QCOMPARE(StoreTest::ReadFile(largeFile), large);
    }
    LocalServer again;
    QCOMPARE(again.Jobs().size(), 2);
    QCOMPARE(StoreTest::ReadFile(smallFile), small);
    QCOMPARE(StoreTest::ReadFile(largeFile), large);
}

// A compaction flushes the job files (the checkpoint) while the segment that
// holds their documents is still there, before the backup takes its place;
// the backup it puts in place is written whole by then. A backup with no
// job file to flush (only a move since the start) is flushed all the same.
void TestJournalInline::checkpointBeforeSegmentsGo()
{
    const QString firstSegment = StoreTest::JobsPath() + "/JOB_LIST.JOURNAL.000001";
    const QString newBackup = StoreTest::JobsPath() + "/JOB_LIST.BAK.new";
    std::atomic<int> checkpoints{0};
    std::atomic<int> withFirstSegment{0};
    std::atomic<int> withoutNewBackup{0};
    const auto hook = [&] {
        ++checkpoints;
        if (QFile::exists(firstSegment))
            ++withFirstSegment;
        if (!QJsonDocument::fromJson(StoreTest::ReadFile(newBackup)).isArray())
            ++withoutNewBackup;
        return true;
    };
    QString id;
    {
        LocalServer server;
        JournalStore *journal = Journal(server);
        QVERIFY(journal);
        journal->SetCheckpointHook(hook);
        journal->SetCompactionLimit(8 * 1024);
        for (int i = 0; i < 30; ++i) {
            const Reply added = server.AddNesterJob(StoreTest::AddRequest("c.aex", Document(600, char(i))), Client);
            QVERIFY(added.first);
            id = QString::fromLatin1(added.second);
        }
    }
    QVERIFY(!QFile::exists(firstSegment)); // the compactions and the close folded it in
    QVERIFY(checkpoints >= 2);
    QCOMPARE(withFirstSegment.load(), 1); // the first compaction's, before it dropped the segment
    const int beforeMove = checkpoints;
    {
        LocalServer again;
        QVERIFY(Journal(again));
        Journal(again)->SetCheckpointHook(hook);
        QVERIFY(again.MoveNesterJob(StoreTest::MoveRequest(id, MoveStep::Top)).first);
    }
    QCOMPARE(checkpoints.load(), beforeMove + 1); // the close's backup
    QCOMPARE(withoutNewBackup.load(), 0);
}

// A checkpoint that fails (the files cannot be flushed) keeps the backup
// from taking the journal's place: the segments stay, and a restart still
// brings back documents whose files were lost.
void TestJournalInline::failedCheckpointKeepsTheJournal()
{
    QStringList files;
    const QByteArray document = Document(500, 'z');
    {
        LocalServer server;
        JournalStore *journal = Journal(server);
        QVERIFY(journal);
        journal->SetCheckpointHook([] { return false; });
        journal->SetCompactionLimit(8 * 1024);
        for (int i = 0; i < 30; ++i) {
            const Reply added = server.AddNesterJob(StoreTest::AddRequest("f.aex", document), Client);
            QVERIFY(added.first);
            NesterJob job;
            QVERIFY(server.CopyJob(QString::fromLatin1(added.second), &job));
            files << job.fileaex;
        }
    } // the final backup is refused too
    QVERIFY(QFile::exists(StoreTest::JobsPath() + "/JOB_LIST.JOURNAL.000001"));
    for (const QString &file : qAsConst(files))
        QVERIFY(QFile::remove(file));
    LocalServer again;
    QCOMPARE(again.Jobs().size(), files.size());
    for (const QString &file : qAsConst(files))
        QCOMPARE(StoreTest::ReadFile(file), document);
}

// A journal the version before wrote (no documents in its records) restores
// as it always did: puts, a removal and a move, the job files untouched;
// the journal then goes on with records that carry documents.
void TestJournalInline::journalOfPreviousVersionRestores()
{
    const QString jobs = StoreTest::JobsPath();
    const QString a = jobs + "/127.0.0.1/20261201100000_1/a.aex";
    const QString c = jobs + "/127.0.0.1/20261201100000_3/c.aex";
    QVERIFY(StoreTest::WriteFile(a, "document a"));
    QVERIFY(StoreTest::WriteFile(c, "document c"));
    QVERIFY(WriteJournalFolder({OldPut("{a}", a, "a.aex"), OldPut("{b}", jobs + "/127.0.0.1/20261201100000_2/b.aex", "b.aex"),
                                OldPut("{c}", c, "c.aex"), R"({"id":"{b}","op":"del"})",
                                R"({"after":"","id":"{c}","op":"move"})"}));
    QString added;
    {
        LocalServer server;
        QStringList ids;
        for (const NesterJob *job : server.Jobs())
            ids << job->job_id;
        QCOMPARE(ids, (QStringList{"{c}", "{a}"}));
        QCOMPARE(StoreTest::ReadFile(a), QByteArray("document a"));
        QCOMPARE(StoreTest::ReadFile(c), QByteArray("document c"));
        added = QString::fromLatin1(server.AddNesterJob(StoreTest::AddRequest("new.aex", "new"), Client).second);
        QVERIFY(!added.isEmpty());
    }
    LocalServer again;
    QCOMPARE(again.Jobs().size(), 3);
    QCOMPARE(again.Jobs().last()->job_id, added);
}

// The backup written by compactions and by the close is what the version
// before reads: a JSON array of job records with the members its reader
// takes, and no document in them.
void TestJournalInline::backupStaysReadableByPreviousVersion()
{
    {
        LocalServer server;
        QVERIFY(Journal(server));
        Journal(server)->SetCompactionLimit(8 * 1024);
        for (int i = 0; i < 20; ++i)
            QVERIFY(server.AddNesterJob(StoreTest::AddRequest("b.aex", Document(600, char(i))), Client).first);
    }
    const QByteArray bak = StoreTest::ReadFile(StoreTest::JobsPath() + "/JOB_LIST.BAK");
    const QJsonArray records = QJsonDocument::fromJson(bak).array();
    QCOMPARE(records.size(), 20);
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        for (const char *member : {"job_id", "job_name", "from", "fileaex", "fileaexres", "state", "time", "position",
                                   "submit_time", "completed", "efficient", "start"})
            QVERIFY2(record.contains(member), member);
        QVERIFY(!record.contains("doc"));
        QVERIFY(!record.contains("job"));
    }
    QList<NesterJob *> jobs;
    QVERIFY(WriteBackup::LoadBackupBytes(jobs, bak));
    QCOMPARE(jobs.size(), 20);
    qDeleteAll(jobs);
}

// A record naming a job file outside <jobs>/<client>/<job folder>/ is never
// written by the restore, whatever its document.
void TestJournalInline::repairStaysInsideJobsFolder()
{
    const QString jobs = StoreTest::JobsPath();
    const QString outside = QFileInfo(jobs).absolutePath() + "/outside/evil.aex";
    const QString shallow = jobs + "/127.0.0.1/evil.aex";
    const QString doc = QString::fromLatin1(QByteArray("planted").toBase64());
    auto put = [&](const QString &id, const QString &file) {
        QByteArray record = OldPut(id, file, "evil.aex");
        return record.replace("{\"job\":", "{\"doc\":\"" + doc.toLatin1() + "\",\"job\":");
    };
    QVERIFY(WriteJournalFolder({put("{x}", outside), put("{y}", jobs + "/127.0.0.1/x/../../../outside/evil.aex"),
                                put("{z}", shallow)}));
    LocalServer server;
    QVERIFY(!QFile::exists(outside));
    QVERIFY(!QFile::exists(shallow));
    QCOMPARE(server.Jobs().size(), 0); // their files are missing: dropped as ever
}

QTEST_GUILESS_MAIN(TestJournalInline)
#include "tst_journalinline.moc"
