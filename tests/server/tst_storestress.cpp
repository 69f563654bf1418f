// Several session threads add, list, move, pick up and remove jobs while the
// GUI thread reports engine progress and handles updateJobList. Meant to run
// under ThreadSanitizer too; bounded in count and time.

#include "LocalServer.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "TestMain.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QSet>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace Orvane::Zendral;
using StoreTest::AddRequest;
using StoreTest::MoveRequest;

class TestStoreStress : public QObject
{
    Q_OBJECT
private slots:
    void sessionsAndEngineAtOnce();
};

void TestStoreStress::sessionsAndEngineAtOnce()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("stress")));
    constexpr int Threads = 4;
    constexpr int Iterations = 30;
    const QDeadlineTimer deadline(40000);

    QSet<QString> kept;
    QStringList failures;
    {
        LocalServer server;
        int notifications = 0;
        connect(&server, &LocalServer::updateJobList, this, [&](QList<NesterJob *> jobs) {
            ++notifications;
            for (NesterJob *job : jobs) { // what the job table reads
                if (job->job_id.size() != 38 || job->completed < 0 || job->completed > 100)
                    failures << QStringLiteral("bad record in updateJobList");
            }
        });

        std::atomic<int> finished{0};
        std::vector<QStringList> keptBy(Threads), errorsBy(Threads);
        std::vector<std::thread> sessions;
        for (int t = 0; t < Threads; ++t) {
            sessions.emplace_back([&, t] {
                const QString from = QStringLiteral("127.0.0.%1").arg(t + 1);
                for (int i = 0; i < Iterations && !deadline.hasExpired(); ++i) {
                    const Reply added = server.AddNesterJob(AddRequest(QStringLiteral("j%1.aex").arg(i), "payload"), from);
                    if (!added.first) {
                        errorsBy[t] << QStringLiteral("add failed: ") + QString::fromLatin1(added.second);
                        continue;
                    }
                    const QString id = QString::fromLatin1(added.second);
                    const QJsonArray list = QJsonDocument::fromJson(server.GetNesterJobList(from, QStringLiteral("j0")).second).array();
                    if (list.isEmpty())
                        errorsBy[t] << QStringLiteral("own job missing from the list");
                    server.MoveNesterJob(MoveRequest(id, QList<MoveStep>{MoveStep::Up, MoveStep::Top, MoveStep::Down, MoveStep::Bottom}.at(i % 4)));
                    if (i % 3 == 0) {
                        server.PickUpNesterJob(id);
                    } else if (i % 3 == 1) {
                        if (!server.RemoveNesterJob(id).first)
                            errorsBy[t] << QStringLiteral("remove failed");
                    } else {
                        keptBy[t] << id;
                    }
                }
                ++finished;
            });
        }

        // The GUI thread plays the engine runner and the window meanwhile.
        int round = 0;
        int runs = 0;
        while (finished.load() < Threads && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const PickedJob next = server.PickJob();
            if (next.IsValid()) {
                const QString id = next.job_id;
                server.OnJobStarted(id);
                server.OnJobUpdate(id, QJsonObject{{"time_limit", 10}, {"time_elapsed", round % 10}, {"efficiency", 50}});
                server.UpdateData(QJsonObject{{"job_id", id},
                    {"data", QString::fromLatin1(QByteArray("<MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>").toBase64())}});
                server.OnJobFinish(id, round % 2);
                ++runs;
            }
            ++round;
        }
        for (std::thread &session : sessions)
            session.join();
        QVERIFY2(!deadline.hasExpired(), "stress run did not finish in time");
        QVERIFY(runs > 0); // the engine side really ran alongside the sessions
        QTRY_VERIFY_WITH_TIMEOUT(notifications > 0, 5000);
        QCoreApplication::processEvents();

        for (int t = 0; t < Threads; ++t) {
            failures << errorsBy[t];
            for (const QString &id : keptBy[t])
                kept.insert(id);
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
        QSet<QString> inQueue;
        for (NesterJob *job : server.Jobs()) {
            inQueue.insert(job->job_id);
            QCOMPARE(StoreTest::ReadFile(job->fileaex), QByteArray("payload"));
        }
        QCOMPARE(inQueue, kept);
        QCOMPARE(kept.size(), Threads * (Iterations / 3));
        // Only the kept jobs' folders are left.
        int folders = 0;
        for (const QString &client : QDir(StoreTest::JobsPath()).entryList({"*.*.*.*"}, QDir::Dirs))
            folders += QDir(StoreTest::JobsPath() + "/" + client).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
        QCOMPARE(folders, kept.size());
    }
    // The final backup holds exactly the queue.
    QSet<QString> saved;
    for (const QJsonValue &v : QJsonDocument::fromJson(StoreTest::ReadFile(StoreTest::JobsPath() + "/JOB_LIST.BAK")).array())
        saved.insert(v.toObject().value("job_id").toString());
    QCOMPARE(saved, kept);
}

QTEST_GUILESS_MAIN(TestStoreStress)
#include "tst_storestress.moc"
