// Acknowledged changes survive a crash. Child processes (this executable
// started again with a child argument, in the same isolated environment)
// work on the queue through LocalServer, print each acknowledgement once
// the reply is there, and are killed with SIGKILL: no destructor, no final
// backup. What a restart restores is read by another child, killed too, so
// that the journal is never folded into the backup by a clean exit.

#include "JournalFile.h"
#include "JournalStore.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "TestMain.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace Orvane::Zendral;

namespace {

const char *const ChildArgument = "--store-crash-child";
const QString DataName = QStringLiteral("crash");
const QString Client = QStringLiteral("127.0.0.1");

std::mutex outputMutex;

void Print(const QByteArray &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void WaitToBeKilled()
{
    for (int i = 0; i < 300; ++i)
        QThread::msleep(100);
}

// Several "clients" add jobs and remove some of their own, each printing
// what was acknowledged. The journal is compacted often, so that kills
// also land in the middle of compactions.
void Burst(LocalServer &server, int clients, quint32 seed)
{
    if (auto *journal = dynamic_cast<JournalStore *>(server.Store()))
        journal->SetCompactionLimit(8 * 1024);
    Print("READY");
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&server, c, seed] {
            QRandomGenerator random(seed + quint32(c));
            QStringList mine;
            for (int i = 0; i < 5000; ++i) {
                const Reply added = server.AddNesterJob(StoreTest::AddRequest(QStringLiteral("c%1-%2.aex").arg(c).arg(i), "x"),
                                                        QStringLiteral("127.0.0.%1").arg(c + 1));
                if (added.first) {
                    Print("ADD " + added.second);
                    mine << QString::fromLatin1(added.second);
                }
                if (!mine.isEmpty() && random.bounded(3) == 0) {
                    const QString id = mine.takeAt(int(random.bounded(mine.size())));
                    Print("TRY " + id.toLatin1()); // from here on either outcome is right
                    if (server.RemoveNesterJob(id).first)
                        Print("DEL " + id.toLatin1());
                }
                if (!mine.isEmpty() && random.bounded(4) == 0)
                    server.MoveNesterJob(StoreTest::MoveRequest(mine.at(int(random.bounded(mine.size()))), MoveStep::Top));
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
}

// The document of add `index` of an inline round: random bytes of 1 to
// 2,000 bytes, so that with store/inline_max_kb=1 about half travel in the
// journal and the rest take the flushed-file path.
QByteArray RoundDocument(quint32 seed, int index)
{
    QRandomGenerator random(seed * 100000u + quint32(index));
    QByteArray bytes(1 + int(random.bounded(2000)), Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Whether the document's record carries it (store/inline_max_kb=1): the
// store decides by the Base64 text's size.
bool TravelsInJournal(const QByteArray &document)
{
    return document.toBase64().size() / 4 * 3 <= 1024;
}

// Threads add the round's documents ("d<index>") and print
// "ADD <index> <id> <job file>" for each acknowledged add.
void InlineRound(LocalServer &server, int threads, int perThread, quint32 seed, bool compactOften)
{
    if (auto *journal = dynamic_cast<JournalStore *>(server.Store()); journal && compactOften)
        journal->SetCompactionLimit(16 * 1024);
    Print("READY");
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&server, t, perThread, seed] {
            for (int i = 0; i < perThread; ++i) {
                const int index = t * perThread + i;
                const Reply added = server.AddNesterJob(
                    StoreTest::AddRequest(QStringLiteral("d%1.bin").arg(index), RoundDocument(seed, index)), Client);
                NesterJob copy;
                if (added.first && server.CopyJob(QString::fromLatin1(added.second), &copy))
                    Print("ADD " + QByteArray::number(index) + ' ' + added.second + ' ' + copy.fileaex.toUtf8());
            }
        });
    }
    for (std::thread &t : running)
        t.join();
    Print("DONE");
}

// The job ids a child acknowledged ("ACK <id>" lines), in order.
QStringList Acknowledged(const QList<QByteArray> &lines)
{
    QStringList ids;
    for (const QByteArray &line : lines) {
        if (line.startsWith("ACK "))
            ids << QString::fromLatin1(line.mid(4));
    }
    return ids;
}

int RunChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    // The parent's data folder (same isolated HOME), not emptied.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("ZendralTest"));
    QCoreApplication::setApplicationName(DataName);
    LocalServer *server = new LocalServer; // never destroyed: no final backup
    const QByteArray command = argv[2];
    if (command == "burst" && argc > 4) {
        Burst(*server, QByteArray(argv[3]).toInt(), QByteArray(argv[4]).toUInt());
    } else if (command == "inline" && argc > 5) {
        InlineRound(*server, 3, QByteArray(argv[3]).toInt(), QByteArray(argv[4]).toUInt(), QByteArray(argv[5]) == "compact");
    } else if (command == "add" && argc > 3) {
        for (int i = 0; i < QByteArray(argv[3]).toInt(); ++i) {
            const Reply reply = server->AddNesterJob(StoreTest::AddRequest("crash.aex", "survives"), Client);
            Print((reply.first ? "ACK " : "NAK ") + reply.second);
        }
        Print("DONE");
    } else if (command == "move" && argc > 3) {
        const Reply reply = server->MoveNesterJob(StoreTest::MoveRequest(QString::fromLatin1(argv[3]), MoveStep::Top));
        Print(reply.first ? "ACK" : "NAK");
        for (const NesterJob *job : server->Jobs())
            Print("JOB " + job->job_id.toLatin1());
        Print("END");
    } else if (command == "remove" && argc > 3) {
        Print(server->RemoveNesterJob(QString::fromLatin1(argv[3])).first ? "ACK" : "NAK");
    } else if (command == "list") {
        for (const NesterJob *job : server->Jobs())
            Print("JOB " + job->job_id.toLatin1());
        Print("END");
    }
    WaitToBeKilled();
    return 3;
}

} // namespace

class TestStoreCrash : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void acknowledgedChangesSurviveKillsInBursts();
    void tornLastRecordIgnored();
    void acknowledgedRemoveSurvivesKill();
    void diskFullAtStartUp();
    void acknowledgedMoveSurvivesKill();
    void alteredRecordStopsRestore();
    void inlineAddsComeBackAfterKillBeforeCheckpoint();

private:
    // Runs a child until it printed `until` (or, with `afterAdds`, until it
    // acknowledged that many adds and then `afterMs` more), kills it and
    // returns its whole lines.
    QList<QByteArray> runAndKill(const QStringList &arguments, const QByteArray &until, int afterAdds = -1,
                                 int afterMs = 0)
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{ChildArgument} + arguments);
        if (!child.waitForStarted(10000))
            return {};
        QByteArray output;
        QDeadlineTimer deadline(30000);
        QDeadlineTimer killAt(QDeadlineTimer::Forever);
        while (!deadline.hasExpired() && child.state() == QProcess::Running && !killAt.hasExpired()) {
            child.waitForReadyRead(20);
            output += child.readAllStandardOutput();
            if (!until.isEmpty() && output.contains(until))
                break;
            if (afterAdds >= 0 && killAt.isForever() && output.count("ADD ") >= afterAdds)
                killAt.setRemainingTime(afterMs);
        }
        child.kill(); // SIGKILL
        child.waitForFinished(10000);
        output += child.readAllStandardOutput();
        QList<QByteArray> lines = output.split('\n');
        lines.removeLast(); // the part after the last line feed is not a whole line
        return lines;
    }
    QStringList restored()
    {
        QStringList ids;
        for (const QByteArray &line : runAndKill({"list"}, "END\n")) {
            if (line.startsWith("JOB "))
                ids << QString::fromLatin1(line.mid(4));
        }
        return ids;
    }
};

void TestStoreCrash::init()
{
    QVERIFY(StoreTest::UseFreshDataFolder(DataName));
}

// Many rounds of a burst of adds, removes and moves from several clients,
// killed at a random moment; every acknowledged add is there after the
// restart, every acknowledged removal is gone.
void TestStoreCrash::acknowledgedChangesSurviveKillsInBursts()
{
    QSet<QString> alive;
    QSet<QString> removed;
    QRandomGenerator random(20261208);
    int acknowledged = 0;
    for (int round = 0; round < 10; ++round) {
        // Killed at a random moment after a random number of adds, so that
        // each round is in the middle of its burst whatever the machine's
        // speed (a sanitizer build is many times slower).
        const int afterAdds = 20 + int(random.bounded(100));
        const QList<QByteArray> lines = runAndKill({"burst", "4", QString::number(round * 100)}, QByteArray(),
                                                   afterAdds, int(random.bounded(60)));
        for (const QByteArray &line : lines) {
            const QString id = QString::fromLatin1(line.mid(4));
            if (line.startsWith("ADD ")) {
                alive.insert(id);
                ++acknowledged;
            } else if (line.startsWith("TRY ")) {
                alive.remove(id);
            } else if (line.startsWith("DEL ")) {
                alive.remove(id);
                removed.insert(id);
            }
        }
        const QStringList ids = restored();
        const QSet<QString> found(ids.begin(), ids.end());
        for (const QString &id : alive)
            QVERIFY2(found.contains(id), qPrintable(QStringLiteral("round %1: acknowledged add %2 lost").arg(round).arg(id)));
        for (const QString &id : removed)
            QVERIFY2(!found.contains(id), qPrintable(QStringLiteral("round %1: removed %2 came back").arg(round).arg(id)));
        alive = found - removed; // adds not acknowledged and removals tried may have happened or not
    }
    QVERIFY2(acknowledged >= 200, "the bursts acknowledged too little to tell anything");
}

// A record cut in half by a crash is ignored (and logged); the records
// before it are restored, and later changes are appended after the cut.
void TestStoreCrash::tornLastRecordIgnored()
{
    const QStringList added = Acknowledged(runAndKill({"add", "3"}, "DONE\n"));
    QCOMPARE(added.size(), 3);
    const QString journal = StoreTest::JournalPath();
    QByteArray bytes = StoreTest::ReadFile(journal);
    qint64 good = 0;
    bool damaged = false;
    const QList<QByteArray> records = JournalFile::ReadRecords(bytes, &good, &damaged);
    QVERIFY(!damaged && records.size() >= 4); // a header and three puts
    const qint64 lastSize = 8 + records.last().size();
    bytes.truncate(int(good - lastSize / 2));
    QVERIFY(StoreTest::WriteFile(journal, bytes));

    QCOMPARE(restored(), added.mid(0, 2));
    const QList<QByteArray> more = runAndKill({"add", "1"}, "DONE\n");
    QCOMPARE(more.size(), 2);
    QVERIFY(more.first().startsWith("ACK "));
    QCOMPARE(restored(), added.mid(0, 2) + QStringList{QString::fromLatin1(more.first().mid(4))});
}

void TestStoreCrash::acknowledgedRemoveSurvivesKill()
{
    QString id;
    {
        LocalServer server;
        id = QString::fromLatin1(server.AddNesterJob(StoreTest::AddRequest("a.aex", "a"), Client).second);
        server.AddNesterJob(StoreTest::AddRequest("b.aex", "b"), Client);
    }
    QCOMPARE(restored().size(), 2);
    QCOMPARE(runAndKill({"remove", id}, "ACK\n"), QList<QByteArray>{"ACK"});
    const QStringList left = restored();
    QCOMPARE(left.size(), 1);
    QVERIFY(!left.contains(id));
}

// A service started on a full disk cannot write its queue backup: it takes
// no job until it can, and once the disk has room again every add it
// acknowledges survives a kill under its id.
void TestStoreCrash::diskFullAtStartUp()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    StoreTest::TmpfsMount disk(data, 1024);
    if (!disk.Mounted())
        QSKIP("mounting a tmpfs needs root");
    QSettings settings;
    settings.setValue("worker/min_free_disk_mb", 0);
    settings.sync();
    QFile filler(data + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'f');
    for (int i = 0; i < 1024 && filler.write(block) == block.size() && filler.flush(); ++i) {
    }
    filler.close();
    QCOMPARE(Acknowledged(runAndKill({"add", "3"}, "DONE\n")), QStringList());
    QVERIFY(filler.remove());
    const QStringList added = Acknowledged(runAndKill({"add", "3"}, "DONE\n"));
    QVERIFY(!added.isEmpty());
    const QStringList again = Acknowledged(runAndKill({"add", "3"}, "DONE\n"));
    QCOMPARE(again.size(), 3);
    QCOMPARE(restored(), added + again);
    settings.clear();
}

// A move to the top, acknowledged, then a kill: the restart has the order
// the queue had when the move was acknowledged.
void TestStoreCrash::acknowledgedMoveSurvivesKill()
{
    const QStringList added = Acknowledged(runAndKill({"add", "3"}, "DONE\n"));
    QCOMPARE(added.size(), 3);
    QStringList told;
    const QList<QByteArray> lines = runAndKill({"move", added.last()}, "END\n");
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first(), QByteArray("ACK"));
    for (const QByteArray &line : lines) {
        if (line.startsWith("JOB "))
            told << QString::fromLatin1(line.mid(4));
    }
    const QStringList expected{added.at(2), added.at(0), added.at(1)};
    QCOMPARE(told, expected);
    QCOMPARE(restored(), expected);
}

// One payload byte changed in an earlier record, its length intact: its
// checksum fails, the restore stops there and the altered job is not loaded.
void TestStoreCrash::alteredRecordStopsRestore()
{
    const QStringList added = Acknowledged(runAndKill({"add", "3"}, "DONE\n"));
    QCOMPARE(added.size(), 3);
    const QString journal = StoreTest::JournalPath();
    QByteArray bytes = StoreTest::ReadFile(journal);
    qint64 good = 0;
    bool damaged = false;
    const QList<QByteArray> records = JournalFile::ReadRecords(bytes, &good, &damaged);
    QVERIFY(!damaged && records.size() == 4); // a header and three puts
    // The second put's file name, "crash.aex", becomes "crbsh.aex": the
    // record still parses as a job.
    const int second = bytes.indexOf(records.at(2));
    QVERIFY(second > 0);
    const int at = bytes.indexOf("crash.aex", second);
    QVERIFY(at > second && at < second + records.at(2).size());
    bytes[at + 2] = 'b';
    QVERIFY(StoreTest::WriteFile(journal, bytes));

    QCOMPARE(restored(), added.mid(0, 1));
}

// Rounds of adds from three threads, killed at a random moment. The small
// documents' records carry them, so their job files are not flushed before
// the acknowledgement; a power cut could lose them. The parent does to those
// files what it could (deletes some, cuts some short, deletes a whole job
// folder, alters bytes) and then restarts: every acknowledged job is back
// with a document byte-identical to the one sent. In the rounds that compact
// often the checkpoint flushes the files, and the kill can land in it; their
// files are left as they are (they reached the disk).
void TestStoreCrash::inlineAddsComeBackAfterKillBeforeCheckpoint()
{
    QSettings settings;
    settings.setValue("store/inline_max_kb", 1);
    settings.sync();
    const QString jobs = StoreTest::JobsPath();
    QVERIFY(!jobs.isEmpty());
    QRandomGenerator random(20261209);
    QHash<QString, QPair<QString, QByteArray>> alive; // id -> job file, document
    int damaged = 0;
    for (int round = 0; round < 6; ++round) {
        const bool compact = round % 3 == 2;
        const quint32 seed = quint32(round + 1);
        const QList<QByteArray> lines = runAndKill({"inline", "60", QString::number(seed), compact ? "compact" : "keep"},
                                                   QByteArray(), 10 + int(random.bounded(60)), int(random.bounded(40)));
        int kind = 0;
        for (const QByteArray &line : lines) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() < 4 || parts.first() != "ADD")
                continue;
            const QByteArray document = RoundDocument(seed, parts.at(1).toInt());
            const QString file = QString::fromUtf8(line.mid(parts.at(0).size() + parts.at(1).size() + parts.at(2).size() + 3));
            QVERIFY2(file.startsWith(jobs + QLatin1Char('/')), qPrintable(file));
            alive.insert(QString::fromLatin1(parts.at(2)), {file, document});
            if (compact || !TravelsInJournal(document))
                continue;
            switch (kind++ % 5) {
            case 0:
                QVERIFY(QFile::remove(file));
                break;
            case 1:
                QVERIFY(QFile::resize(file, document.size() / 2));
                break;
            case 2: {
                // The job folder (inside this test's jobs folder) goes whole.
                QDir folder = QFileInfo(file).absoluteDir();
                QVERIFY(folder.absolutePath().startsWith(jobs + QLatin1Char('/')));
                QVERIFY(folder.removeRecursively());
                break;
            }
            case 3: {
                QByteArray altered = document;
                altered[0] = char(~altered.at(0));
                QVERIFY(StoreTest::WriteFile(file, altered));
                break;
            }
            default:
                continue; // left as written
            }
            ++damaged;
        }
        const QStringList ids = restored();
        const QSet<QString> found(ids.begin(), ids.end());
        for (auto it = alive.constBegin(); it != alive.constEnd(); ++it) {
            QVERIFY2(found.contains(it.key()), qPrintable(QStringLiteral("round %1: acknowledged add %2 lost").arg(round).arg(it.key())));
            QVERIFY2(StoreTest::ReadFile(it.value().first) == it.value().second,
                     qPrintable(QStringLiteral("round %1: document of %2 not restored: %3").arg(round).arg(it.key(), it.value().first)));
        }
    }
    QVERIFY2(damaged >= 20, "too few job files were damaged to tell anything");
    settings.clear();
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], ChildArgument) == 0)
        return RunChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestStoreCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storecrash.moc"
