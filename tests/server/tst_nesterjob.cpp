// The job record, the MARKER extraction, the job folder removal guard and
// the file lock guard.

#include "JobFileLocker.h"
#include "MarkerExtractor.h"
#include "NesterJob.h"
#include "NonFatalError.h"
#include "StoreTestSupport.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cmath>
#include <memory>
#include <thread>

using namespace Orvane::Zendral;

class TestNesterJob : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void constructorAndStates();
    void jsonRoundTrip();
    void recordTextMatchesTheRecord();
    void fromJsonRepairsInterruptedRuns();
    void listForm();
    void markerExtractor_data();
    void markerExtractor();
    void removeDeletesOnlyJobFolders();
    void clientFolderGoneIsMadeAgain();
    void jobFileWrittenWholeOrNotAtAll();
    void fileLocker();
};

void TestNesterJob::init()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QString::fromLatin1(QTest::currentTestFunction())));
}

void TestNesterJob::constructorAndStates()
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    NesterJob job(QStringLiteral("/x/a.b.aex"), QStringLiteral("192.168.1.20"), 30);
    QCOMPARE(job.job_name, QStringLiteral("a.b"));
    QCOMPARE(job.fileaexres, QStringLiteral("/x/a.b.aex_RES"));
    QCOMPARE(job.job_id.size(), 38);
    QVERIFY(job.job_id.startsWith(QLatin1Char('{')) && job.job_id.endsWith(QLatin1Char('}')));
    QVERIFY(job.job_id != NesterJob(QStringLiteral("/x/a"), QString(), 1).job_id);
    QCOMPARE(job.time, 30);
    QVERIFY(job.IsWaiting() && job.start.isEmpty());
    QVERIFY(job.submit_time >= before && job.submit_time <= QDateTime::currentDateTime());

    job.Start();
    QVERIFY(job.IsRunning());
    QVERIFY(QDateTime::fromString(job.start, QStringLiteral("yyyyMMdd'T'hhmmss")).isValid());
    QCOMPARE(job.start.at(8), QLatin1Char('T'));
    job.Finish();
    QVERIFY(job.IsFinished());
    QCOMPARE(job.completed, 100.0);

    NesterJob empty;
    QCOMPARE(empty.time, 90);
    QVERIFY(empty.job_id.isEmpty() && !empty.submit_time.isValid());
}

void TestNesterJob::jsonRoundTrip()
{
    NesterJob job(QStringLiteral("/x/order.aex"), QStringLiteral("10.0.0.1"), 45);
    job.state = NesterJob::Finished;
    job.completed = 100;
    job.efficient = 87.25;
    job.start = QStringLiteral("20260101T101010");
    const QJsonObject json = job.ToJson(3);
    QCOMPARE(json.keys(), (QStringList{"completed", "efficient", "fileaex", "fileaexres", "from", "job_id",
                                       "job_name", "position", "start", "state", "submit_time", "time"}));
    QCOMPARE(json.value("position").toInt(), 3);
    QCOMPARE(json.value("submit_time").toString(), job.submit_time.toString("yyyyMMddhhmmss"));

    NesterJob back;
    back.FromJson(json);
    QCOMPARE(back.ToJson(3), json);

    // Missing "time" gives 0, missing "submit_time" an invalid one written back as "".
    NesterJob sparse;
    sparse.FromJson(QJsonObject{{"job_id", "{x}"}, {"time", 12.5}});
    QCOMPARE(sparse.time, 0);
    QVERIFY(!sparse.submit_time.isValid());
    QCOMPARE(sparse.ToJson(0).value("submit_time").toString(), QString());
    QCOMPARE(sparse.ToJson(0).value("time").toInt(), 0);
}

// The record text written directly holds what the record JSON holds, for a
// new job and for one with every member set (text that JSON must escape,
// non-ASCII, a hold with a time); a number JSON cannot hold becomes null.
void TestNesterJob::recordTextMatchesTheRecord()
{
    NesterJob fresh(QStringLiteral("/x/order.aex"), QStringLiteral("10.0.0.1"), 45);
    NesterJob full(QStringLiteral("/x/\u5e03\"q\\\t.aex"), QStringLiteral("10.0.0.2"), 604800);
    full.state = NesterJob::Running;
    full.completed = 33.3333333333333;
    full.efficient = 0.1;
    full.failed_runs = 2;
    full.error = QStringLiteral("engine said \"no\"\n\x01");
    full.node = QStringLiteral("n\u00f6de");
    full.run_start = QStringLiteral("20260101T101010");
    full.run_end = QStringLiteral("20260101T111010");
    full.engine_output = QStringLiteral("line 1\r\nline 2 \U0001F600");
    full.held = true;
    full.held_until = QDateTime(QDate(2026, 12, 9), QTime(8, 30), Qt::UTC);
    for (const NesterJob *job : {&fresh, &full}) {
        QJsonParseError error;
        const QJsonDocument parsed = QJsonDocument::fromJson(job->ToRecord(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(parsed.object(), job->ToJson(0));
    }
    // Byte for byte the text Qt writes, but for control characters' escapes.
    full.error = QStringLiteral("engine said \"no\"");
    full.completed = 100;
    QCOMPARE(full.ToRecord(), QJsonDocument(full.ToJson(0)).toJson(QJsonDocument::Compact));
    QCOMPARE(fresh.ToRecord(), QJsonDocument(fresh.ToJson(0)).toJson(QJsonDocument::Compact));
    full.completed = std::nan("");
    const QJsonObject withNan = QJsonDocument::fromJson(full.ToRecord()).object();
    QVERIFY(withNan.value("completed").isNull());
    QCOMPARE(withNan.value("efficient").toDouble(), 0.1);
}

void TestNesterJob::fromJsonRepairsInterruptedRuns()
{
    NesterJob a;
    a.FromJson(QJsonObject{{"state", 1}, {"completed", 99.9}, {"efficient", 70}, {"start", "20260101T000000"}});
    QVERIFY(a.IsWaiting());
    QVERIFY(a.start.isEmpty());
    QCOMPARE(a.completed, 0.0);
    QCOMPARE(a.efficient, 0.0);

    NesterJob b;
    b.FromJson(QJsonObject{{"state", 1}, {"completed", 150}, {"efficient", 70}});
    QVERIFY(b.IsFinished());
    QCOMPARE(b.completed, 100.0);
    QCOMPARE(b.efficient, 70.0);

    NesterJob c;
    c.FromJson(QJsonObject{{"state", 2}, {"completed", 55}});
    QVERIFY(c.IsFinished());
    QCOMPARE(c.completed, 55.0);
}

void TestNesterJob::listForm()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("order.aex");
    NesterJob job(file, QStringLiteral("192.168.1.20"), 90);
    QVERIFY(StoreTest::WriteFile(job.fileaexres,
        "<MARKER_DOCUMENT><HEAD/><MARKER id=\"1\"><P/></MARKER></MARKER_DOCUMENT>"));

    QJsonObject list = job.ToListJson(2, "order", "192.168.1.20");
    QCOMPARE(list.value("job_name").toString(), QStringLiteral("order:192.168.1.20"));
    QCOMPARE(list.value("position").toInt(), 2);
    QVERIFY(!list.contains("job_data")); // waiting

    job.Start();
    job.completed = 12;
    job.efficient = 80;
    list = job.ToListJson(0, "order", "192.168.1.20");
    QCOMPARE(list.value("complete_percent").toDouble(), 12.0);
    QCOMPARE(list.value("efficient").toDouble(), 80.0);
    QCOMPARE(list.value("estimated_start").toString(), job.start);
    QCOMPARE(list.value("job_id").toString(), job.job_id);
    QCOMPARE(QByteArray::fromBase64(list.value("job_data").toString().toLatin1(), QByteArray::Base64UrlEncoding),
             QByteArray("<MARKER id=\"1\"><P/></MARKER>"));
    QVERIFY(!job.ToListJson(0, "other", "192.168.1.20").contains("job_data"));
    QVERIFY(!job.ToListJson(0, "order", "192.168.1.21").contains("job_data"));

    QFile::remove(job.fileaexres);
    QCOMPARE(job.ToListJson(0, "order", "192.168.1.20").value("job_data").toString(), QString());
    job.Finish();
    QVERIFY(!job.ToListJson(0, "order", "192.168.1.20").contains("job_data"));
}

void TestNesterJob::markerExtractor_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("children skipped, attributes and comment kept")
        << QByteArray("<?xml version=\"1.0\"?><MARKER_DOCUMENT v=\"2\"><INFO><MARKER x=\"no\"/></INFO>"
                      "<MARKER w=\"10\" h=\"20\"><!-- best --><PIECE n=\"a&amp;b\">t</PIECE><?pi x?></MARKER>"
                      "<MARKER second=\"1\"/></MARKER_DOCUMENT>")
        << QByteArray("<MARKER w=\"10\" h=\"20\"><!-- best --><PIECE n=\"a&amp;b\">t</PIECE></MARKER>");
    QTest::newRow("two documents: the first one's marker only")
        << QByteArray("<RESULTS><MARKER_DOCUMENT><MARKER n=\"1\"><P/></MARKER></MARKER_DOCUMENT>"
                      "<MARKER_DOCUMENT><MARKER n=\"2\"/></MARKER_DOCUMENT></RESULTS>")
        << QByteArray("<MARKER n=\"1\"><P/></MARKER>");
    QTest::newRow("marker outside the document ignored")
        << QByteArray("<ROOT><MARKER a=\"1\"/></ROOT>") << QByteArray();
    QTest::newRow("no marker") << QByteArray("<MARKER_DOCUMENT><A/></MARKER_DOCUMENT>") << QByteArray();
    QTest::newRow("not xml") << QByteArray("this is not xml") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("namespaces in scope made explicit, names as they stand")
        << QByteArray("<ROOT xmlns:p=\"urn:outer\" xmlns:q=\"urn:q\"><MARKER_DOCUMENT xmlns=\"urn:doc\" xmlns:p=\"urn:p\">"
                      "<p:HEADER/><MARKER p:a=\"1\" b=\"2\" xmlns:r=\"urn:r\"><p:PIECE q:id=\"x\"><r:NOTE/></p:PIECE></MARKER>"
                      "</MARKER_DOCUMENT></ROOT>")
        << QByteArray("<MARKER xmlns=\"urn:doc\" xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" xmlns:r=\"urn:r\" p:a=\"1\" b=\"2\">"
                      "<p:PIECE q:id=\"x\"><r:NOTE/></p:PIECE></MARKER>");
    QTest::newRow("cut off inside the marker, closed")
        << QByteArray("<MARKER_DOCUMENT><MARKER a=\"1\"><P>x</P><Q>")
        << QByteArray("<MARKER a=\"1\"><P>x</P><Q/></MARKER>");
    QTest::newRow("empty CDATA writes nothing, CDATA text escaped")
        << QByteArray("<MARKER_DOCUMENT><MARKER><E><![CDATA[]]></E><T><![CDATA[a<b]]></T></MARKER></MARKER_DOCUMENT>")
        << QByteArray("<MARKER><E/><T>a&lt;b</T></MARKER>");
}

void TestNesterJob::markerExtractor()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("r.aex_RES");
    QVERIFY(StoreTest::WriteFile(path, input));
    MarkerExtractor extractor;
    QCOMPARE(extractor.Extract(path), expected);
    // The fragment parses on its own, every name in its namespace.
    QXmlStreamReader fragment(expected);
    while (!fragment.atEnd()) {
        fragment.readNext();
        if (fragment.isStartElement() && fragment.qualifiedName().contains(':'))
            QVERIFY(!fragment.namespaceUri().isEmpty());
    }
    QVERIFY2(!fragment.hasError() || expected.isEmpty(), qPrintable(fragment.errorString()));
    if (QTest::currentDataTag() == QByteArray("namespaces in scope made explicit, names as they stand")) {
        QXmlStreamReader check(expected);
        QStringList seen;
        while (check.readNextStartElement() || !check.atEnd()) {
            if (!check.isStartElement())
                continue;
            seen << check.name() + "@" + check.namespaceUri();
            for (const QXmlStreamAttribute &a : check.attributes())
                seen << a.name() + "@" + a.namespaceUri();
        }
        QCOMPARE(seen, (QStringList{"MARKER@urn:doc", "a@urn:p", "b@", "PIECE@urn:p", "id@urn:q", "NOTE@urn:r"}));
    }
    // The same object can be used again.
    QCOMPARE(extractor.Extract(path), expected);
    QCOMPARE(extractor.Extract(QString()), QByteArray());
    QCOMPARE(extractor.Extract(dir.filePath("missing")), QByteArray());
}

// The client folder is made once per run; one that went away since (its
// last job removed, or removed by hand) is made again for the next add.
void TestNesterJob::clientFolderGoneIsMadeAgain()
{
    const QString jobs = StoreTest::JobsPath();
    QVERIFY(!jobs.isEmpty());
    JobFolders folders;
    const QByteArray text = QByteArray("document").toBase64();
    std::unique_ptr<NesterJob> first(folders.CreateJob("1.2.3.4", "a.aex", text.constData(), text.size(), 10));
    QVERIFY(first);
    QDir client(jobs + "/1.2.3.4");
    QVERIFY(client.exists());
    QVERIFY(client.absolutePath().startsWith(jobs + "/")); // only inside this test's own data folder
    QVERIFY(client.removeRecursively());
    std::unique_ptr<NesterJob> second(folders.CreateJob("1.2.3.4", "b.aex", text.constData(), text.size(), 10));
    QVERIFY(second);
    QFile file(second->fileaex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("document"));
    QVERIFY(second->fileaex.startsWith(jobs + "/1.2.3.4/"));
}

// A document is written in pieces straight to its file: one of several
// pieces comes back byte for byte, and a file that cannot be written whole
// (the file size limit stands in for a full disk) leaves no job and no
// folder behind.
void TestNesterJob::jobFileWrittenWholeOrNotAtAll()
{
    const QString jobs = StoreTest::JobsPath();
    QVERIFY(!jobs.isEmpty());
    JobFolders folders;
    QByteArray document(2 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < document.size(); ++i)
        document[i] = char((i * 131) >> 3);
    const QByteArray text = document.toBase64();
    std::unique_ptr<NesterJob> whole(folders.CreateJob("1.2.3.5", "a.aex", text.constData(), text.size(), 10));
    QVERIFY(whole);
    QCOMPARE(StoreTest::ReadFile(whole->fileaex), document);

    const QDir client(jobs + "/1.2.3.5");
    const QStringList before = client.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    {
        StoreTest::FileSizeLimit limit(rlim_t(document.size() - 1)); // the last piece is cut short
        std::unique_ptr<NesterJob> cut(folders.CreateJob("1.2.3.5", "b.aex", text.constData(), text.size(), 10));
        QVERIFY(!cut);
    }
    QCOMPARE(client.entryList(QDir::Dirs | QDir::NoDotAndDotDot), before);
}

void TestNesterJob::removeDeletesOnlyJobFolders()
{
    const QString jobs = StoreTest::JobsPath();
    QVERIFY(!jobs.isEmpty());
    QTemporaryDir outside;
    QVERIFY(StoreTest::WriteFile(outside.filePath("keep/x.aex"), "x"));

    const JobFolders folders;
    auto removeWith = [&folders](const QString &fileaex, const QString &fileaexres = QString()) {
        NesterJob job;
        job.fileaex = fileaex;
        job.fileaexres = fileaexres.isNull() ? fileaex + "_RES" : fileaexres;
        job.Remove(folders);
    };

    // A real job folder goes, with its result file; its neighbour stays.
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/20260101000000/a.aex", "a"));
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/20260101000000/a.aex_RES", "r"));
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/20260101000000_01/b.aex", "b"));
    removeWith(jobs + "/1.2.3.4/20260101000000/a.aex");
    QVERIFY(!QFileInfo::exists(jobs + "/1.2.3.4/20260101000000"));
    QVERIFY(QFileInfo::exists(jobs + "/1.2.3.4/20260101000000_01/b.aex"));

    // Outside the jobs folder, the jobs folder itself, a client folder,
    // a path climbing out with "..", empty paths: nothing is removed.
    QVERIFY(StoreTest::WriteFile(jobs + "/top.aex", "t"));
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/client.aex", "c"));
    removeWith(outside.filePath("keep/x.aex"));
    removeWith(jobs + "/top.aex");
    removeWith(jobs + "/1.2.3.4/client.aex");
    removeWith(jobs + "/1.2.3.4/20260101000000_01/../../1.2.3.4/client.aex");
    removeWith(jobs + "/1.2.3.4/20260101000000_01/../../../x.aex");
    removeWith(QString(), QString());
    removeWith(QStringLiteral("relative.aex"));
    QVERIFY(QFileInfo::exists(outside.filePath("keep/x.aex")));
    QVERIFY(QFileInfo::exists(jobs + "/top.aex"));
    QVERIFY(QFileInfo::exists(jobs + "/1.2.3.4/client.aex"));
    QVERIFY(QFileInfo::exists(jobs + "/1.2.3.4/20260101000000_01/b.aex"));

    // Below a job folder, or in a sibling of the jobs folder whose name
    // starts like it: not a job folder, nothing is removed.
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/20260404000000/sub/x.aex", "s"));
    QVERIFY(StoreTest::WriteFile(jobs + "_old/1.2.3.4/20260404000000/x.aex", "o"));
    removeWith(jobs + "/1.2.3.4/20260404000000/sub/x.aex");
    removeWith(jobs + "_old/1.2.3.4/20260404000000/x.aex");
    QVERIFY(QFileInfo::exists(jobs + "/1.2.3.4/20260404000000/sub/x.aex"));
    QVERIFY(QFileInfo::exists(jobs + "_old/1.2.3.4/20260404000000/x.aex"));

    // A job folder that is a link to a folder outside is not followed.
    QVERIFY(QFile::link(outside.filePath("keep"), jobs + "/1.2.3.4/20260202000000"));
    removeWith(jobs + "/1.2.3.4/20260202000000/x.aex");
    QVERIFY(QFileInfo::exists(outside.filePath("keep/x.aex")));

    // A record with only a result file removes the result file's job folder.
    QVERIFY(StoreTest::WriteFile(jobs + "/1.2.3.4/20260303000000/o.aex_RES", "r"));
    removeWith(QString(), jobs + "/1.2.3.4/20260303000000/o.aex_RES");
    QVERIFY(!QFileInfo::exists(jobs + "/1.2.3.4/20260303000000"));
    QVERIFY(QFileInfo::exists(jobs + "/1.2.3.4/20260101000000_01/b.aex"));
}

void TestNesterJob::fileLocker()
{
    std::shared_mutex lock;
    try {
        JobFileLocker bad(&lock, LockerMode());
        QFAIL("no exception for a locker without mode");
    } catch (const Orvane::NonFatalError &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Invalid Operation"));
        QVERIFY(e.line() > 0);
    }
    QVERIFY(lock.try_lock()); // the failed guard left nothing locked
    lock.unlock();

    auto tryOther = [&lock](bool write) {
        bool got = false;
        std::thread t([&] {
            got = write ? lock.try_lock() : lock.try_lock_shared();
            if (got && write)
                lock.unlock();
            else if (got)
                lock.unlock_shared();
        });
        t.join();
        return got;
    };
    {
        JobFileLocker read(&lock, LockerMode(Read | Write)); // Read wins
        QVERIFY(tryOther(false));
        QVERIFY(!tryOther(true));
    }
    {
        JobFileLocker write(&lock, Write);
        QVERIFY(!tryOther(false));
    }
    QVERIFY(tryOther(true));
}

QTEST_GUILESS_MAIN(TestNesterJob)
#include "tst_nesterjob.moc"
