// The listener and the life of sessions: many clients at once, stopping and
// failing to listen, the service destroyed under busy clients, oversized
// requests, connection floods and the outward-facing address probe.

#include "LocalManager.h"
#include "LocalServer.h"
#include "ProtocolTestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include "TestMain.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace Orvane::Zendral;

class SessionLifetimeTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void twentyClientsAtOnce();
    void stopListenKeepsSessions();
    void portInUse();
    void serviceDestroyedUnderBusyClients();
    void oversizedRequestEndsSession();
    void connectionFlood();
    void addressProbe();

private:
    // Descriptors this process has open, or -1 where that cannot be counted.
    static int OpenDescriptors();

    LocalServer *server = nullptr;
    quint16 port = 0;
};

void SessionLifetimeTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qputenv("ZENDRAL_PROBE_HOST", "127.0.0.1");
}

int SessionLifetimeTest::OpenDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return fds.exists() ? int(fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size()) : -1;
}

void SessionLifetimeTest::init()
{
    // The flood below comes from one address: the per-address limit stays
    // out of the way of the total one.
    QSettings().setValue(QStringLiteral("worker/max_connect_per_address"), 1000);
    server = new LocalServer;
    QCOMPARE(server->StartListen(QStringLiteral("not a number")), QString());
    port = server->listener->serverPort();
    QVERIFY(port != 0);
}

void SessionLifetimeTest::cleanup()
{
    delete server;
    server = nullptr;
}

void SessionLifetimeTest::twentyClientsAtOnce()
{
    std::vector<std::unique_ptr<ProtocolTestClient>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back(new ProtocolTestClient);
        clients.back()->socket.connectToHost(QHostAddress::LocalHost, port);
    }
    for (auto &client : clients) {
        const auto greeting = client->Read();
        QVERIFY(greeting.ok && greeting.state);
        QCOMPARE(greeting.content, QStringLiteral("Welcome..."));
    }
    QCOMPARE(server->listener->SessionCount(), 20);
    QCOMPARE(server->listener->maxPendingConnections(), 10);
}

void SessionLifetimeTest::stopListenKeepsSessions()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    server->listener->StopListen();
    QVERIFY(!server->listener->isListening());

    ProtocolTestClient late;
    QVERIFY(!late.Connect(port, QHostAddress(), 2000));
    QCOMPARE(late.socket.error(), QAbstractSocket::ConnectionRefusedError);

    const auto list = client.Request("GET_NESTER_JOB_LIST");
    QVERIFY(list.ok && list.state);
    QCOMPARE(list.content, QStringLiteral("[]"));
    QVERIFY(client.Request("LOGOUT_SESSION").state);
    QVERIFY(client.WaitClosed());
}

void SessionLifetimeTest::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const QString taken = QString::number(holder.serverPort());
    LocalManager listener(nullptr);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(!listener.StartListen(taken));
        QVERIFY(listener.ErrorText().startsWith(QStringLiteral("Cannot start service[")));
        QVERIFY(listener.ErrorText().endsWith(QLatin1Char(']')));
        QVERIFY(listener.ErrorText().size() > int(strlen("Cannot start service[]")));
    }
}

// Clients on threads of their own keep sending requests while the service
// is destroyed: every session must end before the service is gone.
void SessionLifetimeTest::serviceDestroyedUnderBusyClients()
{
    for (int round = 0; round < 2; ++round) {
        constexpr int Clients = 8;
        std::atomic<int> greeted{0};
        std::atomic<int> answered{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < Clients; ++i) {
            threads.emplace_back([&, p = port]() {
                ProtocolTestClient client(false);
                if (!client.Open(p))
                    return;
                ++greeted;
                QElapsedTimer timer;
                timer.start();
                for (int n = 0; n < 2000 && timer.elapsed() < 10000; ++n) {
                    if (!client.Request("GET_NESTER_JOB_LIST", "x", 3000).ok)
                        return; // the service went away
                    ++answered;
                }
            });
        }
        QTRY_COMPARE_WITH_TIMEOUT(greeted.load(), Clients, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(answered.load() > 5 * Clients, 10000);
        QCOMPARE(server->listener->SessionCount(), Clients);

        QElapsedTimer timer;
        timer.start();
        delete server; // must wait for the sessions, not crash under them
        server = nullptr;
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        for (std::thread &thread : threads)
            thread.join();

        // The service rebuilt serves again.
        init();
        ProtocolTestClient client;
        QVERIFY(client.Open(port));
        QVERIFY(client.Request("INIT_SESSION").state);
    }
}

void SessionLifetimeTest::oversizedRequestEndsSession()
{
    ProtocolTestClient other;
    QVERIFY(other.Open(port));
    ProtocolTestClient greedy;
    QVERIFY(greedy.Open(port));
    // 300 MiB announced, a little sent.
    greedy.SendRaw(QByteArray("\x12\xC0\x00\x00", 4) + QByteArray(64 * 1024, 'A'));
    QVERIFY(greedy.WaitClosed(3000));
    QVERIFY(greedy.received.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(server->listener->SessionCount(), 1, 3000);
    QVERIFY(other.Request("INIT_SESSION").state);
}

// Beyond 200 sessions a connection is closed at once; the clients already
// served keep their answers.
void SessionLifetimeTest::connectionFlood()
{
    ProtocolTestClient existing;
    QVERIFY(existing.Open(port));
    const int descriptorsBefore = OpenDescriptors();
    constexpr int Flood = 229;
    constexpr int Batch = 30; // well inside the system's accept backlog
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    int greeted = 0;
    int closed = 0;
    QElapsedTimer timer;
    timer.start();
    while (int(sockets.size()) < Flood && timer.elapsed() < 40000) {
        for (int i = 0; i < Batch && int(sockets.size()) < Flood; ++i) {
            sockets.emplace_back(new QTcpSocket);
            sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        // Each connection is either greeted or closed before the next batch.
        int turn = 0;
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            greeted = closed = 0;
            for (auto &socket : sockets) {
                if (socket->bytesAvailable() >= 56)
                    ++greeted;
                else if (socket->state() == QAbstractSocket::UnconnectedState)
                    ++closed;
            }
        } while (greeted + closed < int(sockets.size()) && ++turn < 10000 && timer.elapsed() < 40000);
    }
    QCOMPARE(greeted, 199);
    QCOMPARE(closed, Flood - 199);
    QCOMPARE(server->listener->SessionCount(), 200);
    QVERIFY(existing.Request("INIT_SESSION").state);

    sockets.clear(); // the clients leave; their sessions end
    QTRY_COMPARE_WITH_TIMEOUT(server->listener->SessionCount(), 1, 10000);
    // Neither the refused connections nor the ended sessions keep a
    // descriptor open (a little slack for what Qt opens on its own).
    if (descriptorsBefore >= 0)
        QTRY_VERIFY_WITH_TIMEOUT(OpenDescriptors() <= descriptorsBefore + 3, 10000);
    ProtocolTestClient late;
    QVERIFY(late.Open(port));
}

// An empty probe host fails inside the resolver without any network
// traffic. A failed probe is logged and tried again by the next call; the
// service can be destroyed right after a call, while its probe may
// still be ending; once found, the address is served from the cache.
void SessionLifetimeTest::addressProbe()
{
    const QRegularExpression failure(QStringLiteral("^Could not deal with socket\\. Exception: .+"));
    qputenv("ZENDRAL_PROBE_HOST", "");
    for (int round = 0; round < 5; ++round) {
        QTest::ignoreMessage(QtWarningMsg, failure);
        auto *service = new LocalServer;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(service->LocalHostIP(), QString());
        delete service;
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    }

    // Several threads ask at once; all get the loopback probe's answer.
    qputenv("ZENDRAL_PROBE_HOST", "127.0.0.1");
    std::vector<std::thread> threads;
    std::vector<QString> answers(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i]() { answers[size_t(i)] = server->listener->localHostIP(); });
    for (std::thread &thread : threads)
        thread.join();
    for (const QString &answer : answers)
        QCOMPARE(answer, QStringLiteral("127.0.0.1"));

    // Cached: a probe host that would fail is not asked any more.
    qputenv("ZENDRAL_PROBE_HOST", "");
    QCOMPARE(server->LocalHostIP(), QStringLiteral("127.0.0.1"));
    LocalManager other(nullptr);
    QCOMPARE(other.localHostIP(), QStringLiteral("127.0.0.1"));
    qputenv("ZENDRAL_PROBE_HOST", "127.0.0.1");
}

QTEST_MAIN(SessionLifetimeTest)
#include "tst_sessionlifetime.moc"
