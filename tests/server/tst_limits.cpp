// The listener's limits with small values: one address cannot lock others
// out, idle and stalled sessions end, a slow request still completes, large
// bodies stay within the memory budget, repeated keys leak nothing, and only
// allowed clients get a session.

#include "InflightBudget.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ProtocolTestClient.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include "TestMain.h"

#include <memory>
#include <vector>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define LIMITS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define LIMITS_SANITIZED 1
#endif
#endif

using namespace Orvane::Zendral;

namespace {

// A value of /proc/self/status in KiB, or -1 where there is none.
qint64 StatusKiB(const char *key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak of resident memory (Linux); false where it cannot.
bool ResetPeak()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

// Memory figures mean nothing under a sanitizer's shadow memory.
bool CanMeasureMemory()
{
#ifdef LIMITS_SANITIZED
    return false;
#else
    return StatusKiB("VmRSS:") > 0;
#endif
}

QByteArray AddPayload(const QByteArray &document, const QString &name = QStringLiteral("part.aex"))
{
    return QJsonDocument(QJsonObject{{"job_name", name},
                                     {"work_data", QString::fromLatin1(document.toBase64())},
                                     {"time", 5}})
        .toJson(QJsonDocument::Compact);
}

QByteArray RandomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(size);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Connects from `address`; true when the service accepted the connection and
// closed it again without a byte (no greeting, no session).
bool ClosedBeforeGreeting(quint16 port, const QHostAddress &address)
{
    ProtocolTestClient client;
    if (!client.socket.bind(address))
        return false;
    client.socket.connectToHost(QHostAddress::LocalHost, port);
    return client.WaitClosed(3000) && client.received.isEmpty()
        && client.socket.error() == QAbstractSocket::RemoteHostClosedError;
}

const QHostAddress First(QStringLiteral("127.0.0.1"));
const QHostAddress Second(QStringLiteral("127.0.0.2"));

} // namespace

class LimitsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void oneAddressCannotLockOthersOut();
    void pausedRequestCompletes();
    void bodiesStayWithinBudget();
    void repeatedKeysLeakNothing();
    void onlyAllowedClients();

private:
    // Starts the service with these "worker" settings (the others at their
    // defaults).
    void Start(const QVariantMap &worker);
    QString FileOf(const QString &jobId) const;

    LocalServer *server = nullptr;
    quint16 port = 0;
};

void LimitsTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void LimitsTest::Start(const QVariantMap &worker)
{
    QSettings settings;
    settings.remove(QStringLiteral("worker"));
    for (auto it = worker.cbegin(); it != worker.cend(); ++it)
        settings.setValue(QStringLiteral("worker/") + it.key(), it.value());
    settings.sync();
    server = new LocalServer;
    QCOMPARE(server->StartListen(QStringLiteral("0")), QString());
    port = server->listener->serverPort();
}

QString LimitsTest::FileOf(const QString &jobId) const
{
    for (const NesterJob *job : server->Jobs()) {
        if (job->job_id == jobId)
            return job->fileaex;
    }
    return QString();
}

void LimitsTest::cleanup()
{
    if (!server)
        return;
    for (NesterJob *job : server->Jobs())
        server->RemoveNesterJob(job->job_id);
    delete server;
    server = nullptr;
}

// Idle connections of one address use up only that address's sessions, and
// end by themselves; a frame that stalls ends its session without a reply.
void LimitsTest::oneAddressCannotLockOthersOut()
{
    Start({{"max_connect_per_address", 4}, {"idle_timeout_seconds", 2}, {"frame_timeout_seconds", 1}});
    std::vector<std::unique_ptr<ProtocolTestClient>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.emplace_back(new ProtocolTestClient);
        QVERIFY(idle.back()->Open(port, First));
    }
    for (int i = 0; i < 2; ++i)
        QVERIFY(ClosedBeforeGreeting(port, First));
    ProtocolTestClient other;
    QVERIFY(other.Open(port, Second));
    QVERIFY(other.Request("INIT_SESSION").state);

    ProtocolTestClient stalled;
    QVERIFY(stalled.Open(port, Second));
    stalled.SendRaw(PackMessage("INIT_SESSION@").left(7));
    QVERIFY(stalled.WaitClosed(4000));
    QVERIFY(stalled.received.isEmpty());

    for (auto &client : idle)
        QVERIFY(client->WaitClosed(6000));
    ProtocolTestClient later;
    QVERIFY(later.Open(port, First));
    QVERIFY(later.Request("INIT_SESSION").state);
}

// A pause shorter than the frame timeout in the middle of a body is only a
// pause: the request is read whole and answered once.
void LimitsTest::pausedRequestCompletes()
{
    Start({{"frame_timeout_seconds", 3}});
    const QByteArray document = RandomBytes(300 * 1024);
    const QByteArray frame = PackMessage(EncodeRequest("ADD_NESTER_JOB", AddPayload(document)));
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    client.SendRaw(frame.left(frame.size() / 2));
    QVERIFY(!client.WaitBytes(1, 2000));
    client.SendRaw(frame.mid(frame.size() / 2));
    const auto answer = client.Read(10000);
    QVERIFY(answer.ok && answer.state);
    QFile file(FileOf(answer.content));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == document);
    QVERIFY(!client.WaitBytes(1, 300)); // one reply only
    QVERIFY(client.Request("INIT_SESSION").state);
}

// Eight clients send large bodies at once; only as many as the budget holds
// are in memory together, and every client is answered.
void LimitsTest::bodiesStayWithinBudget()
{
    constexpr int BudgetMb = 24;
    constexpr int Clients = 8;
    Start({{"max_inflight_mb", BudgetMb}});
    const QByteArray document = RandomBytes(6 * 1024 * 1024);
    const QByteArray frame = PackMessage(EncodeRequest("ADD_NESTER_JOB", AddPayload(document))); // ~10.7 MiB
    std::vector<std::unique_ptr<ProtocolTestClient>> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.emplace_back(new ProtocolTestClient);
        QVERIFY(clients.back()->Open(port));
    }
    const bool measure = CanMeasureMemory() && ResetPeak();
    const qint64 base = StatusKiB("VmRSS:");

    // The clients write their frames in small pieces, so that the test's own
    // send buffers stay small.
    std::vector<int> sent(Clients, 0);
    QList<ProtocolTestClient::Answer> answers;
    QDeadlineTimer deadline(90000);
    for (int turn = 0; answers.size() < Clients && turn < 200000 && !deadline.hasExpired(); ++turn) {
        for (int i = 0; i < Clients; ++i) {
            QTcpSocket &socket = clients[size_t(i)]->socket;
            while (sent[size_t(i)] < frame.size() && socket.bytesToWrite() < 256 * 1024) {
                const int piece = qMin(64 * 1024, frame.size() - sent[size_t(i)]);
                socket.write(frame.constData() + sent[size_t(i)], piece);
                sent[size_t(i)] += piece;
            }
            clients[size_t(i)]->received += socket.readAll();
            QByteArray body;
            if (TakeFrame(clients[size_t(i)]->received, body) == FrameStatus::Complete) {
                ProtocolTestClient::Answer answer;
                answer.ok = DecodeReply(body, answer.state, answer.content);
                answers << answer;
            }
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1); // bounds the turns in time as well
    }
    QCOMPARE(answers.size(), Clients);
    for (const auto &answer : qAsConst(answers))
        QVERIFY(answer.ok && answer.state);
    QFile file(FileOf(answers.last().content));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == document);
    QTRY_COMPARE_WITH_TIMEOUT(server->listener->Budget()->InUse(), qint64(0), 5000);

    if (!measure)
        QSKIP("peak resident memory cannot be measured here");
    // The budget, the sessions' socket buffers (1 MiB each) and some slack;
    // all bodies at once would be 85 MiB.
    const qint64 peakMb = (StatusKiB("VmHWM:") - base) / 1024;
    qInfo() << "peak above the start:" << peakMb << "MiB";
    QVERIFY2(peakMb < BudgetMb + Clients + 10, qPrintable(QString::number(peakMb)));
}

// Qt's parser leaks a nested value that a repeated key replaces; such
// payloads are refused now and leave nothing behind.
void LimitsTest::repeatedKeysLeakNothing()
{
    Start({});
    QByteArray move = "{\"job_id\":[";
    for (int i = 0; i < 30000; ++i)
        move += "[0],";
    move += "[0]],\"job_id\":\"none\",\"step\":1}";
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    const auto add = client.Request("ADD_NESTER_JOB", R"({"job_name":"a.aex","job_name":"b.aex","work_data":""})");
    QVERIFY(add.ok && !add.state);
    QCOMPARE(add.content, QStringLiteral("Invalid data..."));

    qint64 before = 0;
    for (int i = 0; i < 60; ++i) {
        if (i == 5)
            before = StatusKiB("VmRSS:");
        const auto answer = client.Request("MOVE_NESTER_JOB_STEP", move);
        QVERIFY(answer.ok && !answer.state);
    }
    if (!CanMeasureMemory())
        QSKIP("resident memory cannot be measured here");
    // Qt's parser kept about 3 MiB per request of this kind.
    const qint64 grownMb = (StatusKiB("VmRSS:") - before) / 1024;
    QVERIFY2(grownMb < 24, qPrintable(QString::number(grownMb)));
}

// A client outside "allowed_clients" is closed before the greeting; inside
// means a listed address or an address in a listed network; an entry that is
// neither is left out.
void LimitsTest::onlyAllowedClients()
{
    Start({{"allowed_clients", QStringLiteral("127.0.0.4/31, not-an-address, 127.0.0.9")}});
    for (const char *address : {"127.0.0.4", "127.0.0.5", "127.0.0.9"}) {
        ProtocolTestClient allowed;
        QVERIFY2(allowed.Open(port, QHostAddress(QLatin1String(address))), address);
        QVERIFY(allowed.Request("INIT_SESSION").state);
    }
    for (const char *address : {"127.0.0.1", "127.0.0.6"})
        QVERIFY2(ClosedBeforeGreeting(port, QHostAddress(QLatin1String(address))), address);
}

QTEST_MAIN(LimitsTest)
#include "tst_limits.moc"
