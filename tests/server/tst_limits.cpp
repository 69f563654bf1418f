// The listener's limits with small values: one address cannot lock others
// out, idle and stalled sessions end, a slow request still completes, large
// bodies stay within the memory budget, repeated keys leak nothing, only
// allowed clients get a session, and unread replies stay within the
// service's budget for them.

#include "AddressFilter.h"
#include "InflightBudget.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "JobFolders.h"
#include "NesterJob.h"
#include "SafeJson.h"
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

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

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

// The most the system lets a socket's send buffer grow to (Linux), where
// replies wait beyond the service's reach.
qint64 KernelSendBufferMax()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem"));
    if (!file.open(QIODevice::ReadOnly))
        return 4 * 1024 * 1024;
    const qint64 bytes = file.readAll().simplified().split(' ').value(2).toLongLong();
    return bytes > 0 ? bytes : 4 * 1024 * 1024;
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
    void headersAloneHoldNothing();
    void budgetHoldsExactly();
    void stalledBodiesHoldNoOneUp();
    void framesKeepTheMinimumRate();
    void freeAddressGetsASession_data();
    void freeAddressGetsASession();
    void limitsOfPayloadsAndNames();
    void refusalsLoggedOncePerMinute();
    void unsentRepliesStayWithinTheServiceBudget();

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
    Start({{"allowed_clients", QStringLiteral("127.0.0.4/31, not-an-address, 127.0.0.9, ::ffff:127.0.0.12, "
                                              "2130706438, 0x7f.0.0.1, 127.0.0.10/0")}});
    for (const char *address : {"127.0.0.4", "127.0.0.5", "127.0.0.9", "127.0.0.12"}) {
        ProtocolTestClient allowed;
        QVERIFY2(allowed.Open(port, QHostAddress(QLatin1String(address))), address);
        QVERIFY(allowed.Request("INIT_SESSION").state);
    }
    // A single address is that address alone (not its /31 neighbour); the
    // numeric and hexadecimal forms and a /0 network are left out.
    for (const char *address : {"127.0.0.1", "127.0.0.6", "127.0.0.8", "127.0.0.13", "127.0.0.3"})
        QVERIFY2(ClosedBeforeGreeting(port, QHostAddress(QLatin1String(address))), address);
    AddressFilter parsed(QStringLiteral("127.0.0.9, 2130706438, 0x7f.0.0.1, 127.0.0.10/0, 300.1.1.1/33, ::1/129"));
    QCOMPARE(parsed.InvalidEntries(), QStringList({"2130706438", "0x7f.0.0.1", "127.0.0.10/0", "300.1.1.1/33",
                                                   "::1/129"}));
    QVERIFY(parsed.Allows(QHostAddress(QStringLiteral("::ffff:127.0.0.9"))));
}

// Four clients announce the largest bodies and send nothing more: a header
// holds no memory, and a client from elsewhere is served within a second,
// its upload too.
void LimitsTest::headersAloneHoldNothing()
{
    Start({{"max_inflight_mb", 4}});
    std::vector<std::unique_ptr<ProtocolTestClient>> attackers;
    for (int i = 0; i < 4; ++i) {
        attackers.emplace_back(new ProtocolTestClient);
        QVERIFY(attackers.back()->Open(port, Second));
        attackers.back()->SendRaw(QByteArray("\x0f\xff\xff\xff", 4));
    }
    QTest::qWait(300);
    QCOMPARE(server->listener->Budget()->InUse(), qint64(0));
    ProtocolTestClient other;
    QVERIFY(other.Open(port, First));
    const auto init = other.Request("INIT_SESSION", QByteArray(), 1000);
    QVERIFY(init.ok && init.state);
    const QByteArray document = RandomBytes(512 * 1024);
    const auto add = other.Request("ADD_NESTER_JOB", AddPayload(document), 1000);
    QVERIFY(add.ok && add.state);
}

// Bodies that together fill the budget exactly are held at once; a byte
// more waits. A growing body leaves room for the whole of an earlier one.
void LimitsTest::budgetHoldsExactly()
{
    InflightBudget budget(100);
    InflightBudget::Frame a, b, c;
    a.total = b.total = 50;
    c.total = 1;
    QVERIFY(budget.TryAcquire(a, 50, 0));
    QVERIFY(budget.TryAcquire(b, 50, 0));
    QCOMPARE(budget.InUse(), qint64(100));
    QVERIFY(!budget.TryAcquire(c, 1, 0));
    budget.Release(b, 50);
    InflightBudget::Frame growing, later;
    growing.total = 40;
    later.total = 10;
    QVERIFY(budget.TryAcquire(growing, 10, 0));
    QVERIFY(!budget.TryAcquire(later, 1, 0)); // 50 + 10 held, 40 kept for the earlier body
    budget.Release(a, 50);
    QVERIFY(budget.TryAcquire(later, 10, 0));
    budget.Release(growing, 10);
    budget.Release(later, 10);
    QCOMPARE(budget.InUse(), qint64(0));
}

// A body that stalls after taking memory holds up another only for a
// moment; a client that leaves while its body waits for memory ends its
// session at once.
void LimitsTest::stalledBodiesHoldNoOneUp()
{
    Start({{"max_inflight_mb", 4}});
    const QByteArray big = PackMessage(EncodeRequest("ADD_NESTER_JOB", AddPayload(RandomBytes(1200 * 1024)))); // ~2.1 MiB
    ProtocolTestClient stalled;
    QVERIFY(stalled.Open(port, Second));
    stalled.SendRaw(big.left(big.size() - 1000));
    QTRY_VERIFY_WITH_TIMEOUT(server->listener->Budget()->InUse() >= big.size() - 4, 5000);

    ProtocolTestClient leaving;
    QVERIFY(leaving.Open(port, First));
    QCOMPARE(server->listener->SessionCount(), 2);
    // Its last step cannot fit beside the stalled body, which keeps moving
    // (a byte now and then) and so keeps its place first.
    leaving.SendRaw(big.left(big.size() - 1000));
    for (int i = 0; i < 8; ++i) {
        stalled.SendRaw(big.mid(big.size() - 1000 + i, 1));
        QTest::qWait(200);
    }
    QVERIFY(server->listener->Budget()->InUse() < 4 * 1024 * 1024);
    QCOMPARE(leaving.received.size(), 0);
    // The stalled body keeps moving meanwhile, so the leaving session's
    // wait for memory can end only by its seeing that its client has gone.
    // The client resets the connection: a plain close would queue its end
    // behind the body bytes the service has not read, where no service can
    // see it.
#ifdef Q_OS_UNIX
    const linger reset{1, 0};
    QCOMPARE(::setsockopt(int(leaving.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
#endif
    leaving.socket.abort();
    for (int i = 8; i < 40 && server->listener->SessionCount() != 1; ++i) {
        stalled.SendRaw(big.mid(big.size() - 1000 + i, 1));
        QTest::qWait(200);
    }
    QCOMPARE(server->listener->SessionCount(), 1);

    // Once the stalled body has not moved for a while it holds no one up.
    ProtocolTestClient later;
    QVERIFY(later.Open(port, First));
    const auto add = later.Request("ADD_NESTER_JOB", AddPayload(RandomBytes(400 * 1024)), 5000);
    QVERIFY(add.ok && add.state);
    QVERIFY(server->listener->Budget()->InUse() <= 4 * 1024 * 1024);
}

// A body sent in pieces faster than the minimum rate is taken even though
// it lasts longer than the frame timeout; one dripping slower is closed by
// its deadline although no single gap reaches the timeout.
void LimitsTest::framesKeepTheMinimumRate()
{
    Start({{"frame_timeout_seconds", 1}, {"min_upload_kbps", 1}});
    const QByteArray frame = PackMessage(EncodeRequest("ADD_NESTER_JOB", AddPayload(RandomBytes(7 * 1024))));
    ProtocolTestClient steady;
    QVERIFY(steady.Open(port));
    const int piece = frame.size() / 10 + 1; // ~1 KiB every 300 ms: ~3.4 KiB/s over 3 s
    for (int sent = 0; sent < frame.size(); sent += piece) {
        steady.SendRaw(frame.mid(sent, piece));
        QTest::qWait(300);
    }
    const auto answer = steady.Read(3000);
    QVERIFY(answer.ok && answer.state);

    ProtocolTestClient drip;
    QVERIFY(drip.Open(port));
    drip.SendRaw(frame.left(4));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 40 && drip.socket.state() == QAbstractSocket::ConnectedState; ++i) {
        drip.SendRaw(frame.mid(4 + i, 1));
        drip.WaitClosed(300);
    }
    QVERIFY(drip.WaitClosed(3000));
    QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(drip.received.isEmpty());
}

// All sessions taken by idle clients, of one address, of one with six and
// four with one, or of ten with one each: a client of another address still
// gets one, in place of an idle one of the address with the most; a second
// client of a busy address does not.
void LimitsTest::freeAddressGetsASession_data()
{
    QTest::addColumn<int>("others"); // sessions of other addresses than Second, one each
    QTest::newRow("one address") << 0;
    QTest::newRow("one busy address of five") << 4;
    QTest::newRow("ten addresses") << 9;
}

void LimitsTest::freeAddressGetsASession()
{
    QFETCH(int, others);
    Start({{"max_sessions", 10}, {"max_connect_per_address", 10}});
    std::vector<std::unique_ptr<ProtocolTestClient>> idle;
    QList<QHostAddress> from;
    for (int i = 0; i < 10; ++i) {
        idle.emplace_back(new ProtocolTestClient);
        from << QHostAddress(Second.toIPv4Address() + quint32(qMax(0, i - (9 - others))));
        QVERIFY(idle.back()->Open(port, from.last()));
    }
    QVERIFY(ClosedBeforeGreeting(port, Second));
    ProtocolTestClient other;
    QVERIFY(other.Open(port, First));
    QVERIFY(other.Request("INIT_SESSION", QByteArray(), 1000).state);
    // One of the idle sessions made room, no more.
    const auto closedOnes = [&] {
        QList<QHostAddress> closed;
        for (int i = 0; i < 10; ++i) {
            if (idle[size_t(i)]->socket.state() == QAbstractSocket::UnconnectedState)
                closed << from[i];
        }
        return closed;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!closedOnes().isEmpty(), 3000);
    QTest::qWait(300);
    QCOMPARE(closedOnes().size(), 1);
    if (others < 9)
        QCOMPARE(closedOnes().first(), Second);
}

// Requests that carry an id or a name take no large payload; a job name
// must leave room for the suffixes of its files; an object with too many
// members is refused.
void LimitsTest::limitsOfPayloadsAndNames()
{
    Start({});
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    const QByteArray longId(5000, 'a');
    for (const char *command : {"REMOVE_NESTER_JOB", "GET_NESTER_JOB_LIST", "PICKUP_NESTER_JOB"}) {
        const auto answer = client.Request(command, longId);
        QVERIFY2(answer.ok && !answer.state && answer.content == QLatin1String("Invalid data..."), command);
    }
    const QByteArray document = RandomBytes(1024);
    const QString longest(JobFolders::MaxJobNameBytes - 4, QLatin1Char('n'));
    const auto tooLong = client.Request("ADD_NESTER_JOB", AddPayload(document, longest + QStringLiteral("x.aex")));
    QVERIFY(tooLong.ok && !tooLong.state);
    QCOMPARE(tooLong.content, QStringLiteral("Invalid data..."));
    const auto fits = client.Request("ADD_NESTER_JOB", AddPayload(document, longest + QStringLiteral(".aex")));
    QVERIFY(fits.ok && fits.state);
    QVERIFY(QFile::exists(FileOf(fits.content)));

    QByteArray members = "{\"job_name\":\"m.aex\",\"work_data\":\"\",\"x\":{";
    for (int i = 0; i < SafeJson::MaxMembers; ++i)
        members += "\"k" + QByteArray::number(i) + "\":0,";
    members += "\"last\":0}}";
    const auto many = client.Request("ADD_NESTER_JOB", members);
    QVERIFY(many.ok && !many.state);
    QCOMPARE(many.content, QStringLiteral("Invalid data..."));
}

namespace {
QAtomicInt refusedLines;
QtMessageHandler previousHandler = nullptr;
void CountRefusals(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("refused: not in allowed_clients")))
        refusedLines.ref();
    previousHandler(type, context, message);
}
} // namespace

// A refused address fills no log: one line a minute.
void LimitsTest::refusalsLoggedOncePerMinute()
{
    Start({{"allowed_clients", QStringLiteral("127.0.0.9")}});
    refusedLines = 0;
    previousHandler = qInstallMessageHandler(CountRefusals);
    for (int i = 0; i < 5; ++i)
        QVERIFY(ClosedBeforeGreeting(port, Second));
    qInstallMessageHandler(previousHandler);
    QCOMPARE(refusedLines.loadRelaxed(), 1);
}

// Ten clients of one address ask for their long job list many times each and
// read nothing; each stays under its own limit of unsent replies, but
// together they would pass the service's. Unsent bytes stay within that
// budget (plus the one reply each session may have made before it saw the
// budget full), a client of another address is served within a second
// meanwhile, and each stalled session goes on once its client reads.
void LimitsTest::unsentRepliesStayWithinTheServiceBudget()
{
    constexpr int Attackers = 10;
    Start({{"max_unsent_mb", 1}, {"max_connect_per_address", Attackers}});
    const QString from = Second.toString();
    const QString name = QString(200, QLatin1Char('n')) + QStringLiteral(".aex");
    for (int i = 0; i < 500; ++i)
        QVERIFY(server->AddNesterJob(AddPayload("<M/>", name), from).first);
    // More replies than the system's socket buffers take in.
    const qint64 reply = server->GetNesterJobList(from, QString()).second.size();
    const int perClient = int(qMin<qint64>(200, (KernelSendBufferMax() + 2 * 1024 * 1024) / reply + 1));

    std::vector<std::unique_ptr<ProtocolTestClient>> attackers;
    const QByteArray requests = PackMessage(EncodeRequest("GET_NESTER_JOB_LIST", QByteArray())).repeated(perClient);
    for (int i = 0; i < Attackers; ++i) {
        attackers.emplace_back(new ProtocolTestClient);
        QTcpSocket &socket = attackers.back()->socket;
        // Small buffers on the client's side, so that the replies pile up in
        // the service rather than in this process.
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        socket.setReadBufferSize(64 * 1024);
        QVERIFY(attackers.back()->Open(port, Second));
        attackers.back()->SendRaw(requests);
    }
    InflightBudget *unsent = server->listener->UnsentBudget();
    QTRY_VERIFY_WITH_TIMEOUT(unsent->Over(), 10000);

    ProtocolTestClient other;
    QVERIFY(other.Open(port, First));
    const auto list = other.Request("GET_NESTER_JOB_LIST", QByteArray(), 1000);
    QVERIFY(list.ok && list.state);
    QCOMPARE(list.content, QStringLiteral("[]"));

    // Every attacker now reads all its replies.
    int largest = 0;
    for (auto &attacker : attackers) {
        attacker->socket.setReadBufferSize(0);
        for (int i = 0; i < perClient; ++i) {
            const auto answer = attacker->Read(10000);
            QVERIFY(answer.ok && answer.state);
            largest = qMax(largest, answer.content.size());
        }
    }
    const qint64 bound = unsent->Limit() + qint64(Attackers + 1) * (largest + 64);
    QVERIFY2(unsent->Peak() <= bound, qPrintable(QStringLiteral("%1 > %2").arg(unsent->Peak()).arg(bound)));
    QVERIFY(largest > 64 * 1024);
}

QTEST_MAIN(LimitsTest)
#include "tst_limits.moc"
