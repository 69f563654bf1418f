// Random and broken frames from many connections (fixed seed, bounded
// count): every well-framed request gets exactly its one expected reply, and
// the service answers correctly afterwards.

#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ProtocolTestClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include "TestMain.h"

using namespace Orvane::Zendral;

namespace {

struct Expected
{
    bool state;
    QString content;
};

QByteArray RandomBytes(QRandomGenerator &random, int maxSize)
{
    QByteArray bytes(int(random.bounded(maxSize + 1)), Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// One well-framed random request and the reply the service must give. The
// client (127.0.0.3) has no jobs, so lists are empty and ids match nothing.
QByteArray RandomRequest(QRandomGenerator &random, Expected &expected)
{
    const QByteArray tail = RandomBytes(random, 60).toBase64(QByteArray::Base64UrlEncoding);
    switch (random.bounded(7)) {
    case 0:
        expected = {true, QString()};
        return "INIT_SESSION@" + tail;
    case 1:
        expected = {true, QStringLiteral("[]")};
        return "GET_NESTER_JOB_LIST@" + tail;
    case 2:
        expected = {false, QStringLiteral("Job non-existent...")};
        return "REMOVE_NESTER_JOB@" + tail;
    case 3:
        expected = {false, QString()};
        return "PICKUP_NESTER_JOB@" + tail;
    case 4:
        expected = {false, QString()};
        return "MOVE_NESTER_JOB_STEP@" + tail;
    case 5: {
        // A command name with one byte changed.
        QByteArray name("GET_NESTER_JOB_LIST@");
        name[int(random.bounded(name.size() - 1))] = char('a' + random.bounded(26));
        expected = {false, QStringLiteral("Invalid request...")};
        return name + tail;
    }
    default: {
        // Random bytes: no command (a leading '@' or NUL never matches).
        expected = {false, QStringLiteral("Invalid request...")};
        return QByteArray(1, char('\0')) + RandomBytes(random, 200);
    }
    }
}

} // namespace

class RobustnessTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void randomFrames();
    void brokenConnections();
    void largeRequest();
    void stillServing();

private:
    LocalServer *server = nullptr;
    quint16 port = 0;
};

void RobustnessTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    server = new LocalServer;
    QCOMPARE(server->StartListen(QStringLiteral("0")), QString());
    port = server->listener->serverPort();
}

void RobustnessTest::cleanupTestCase()
{
    for (NesterJob *job : server->Jobs())
        server->RemoveNesterJob(job->job_id);
    delete server;
}

void RobustnessTest::randomFrames()
{
    QRandomGenerator random(20261207);
    for (int connection = 0; connection < 6; ++connection) {
        ProtocolTestClient client;
        QVERIFY(client.Open(port, QHostAddress(QStringLiteral("127.0.0.3"))));
        // Sent in one go: requests are taken one frame at a time.
        QByteArray stream;
        QList<Expected> expected;
        for (int i = 0; i < 60; ++i) {
            Expected e;
            stream += PackMessage(RandomRequest(random, e));
            expected << e;
        }
        client.SendRaw(stream);
        for (int i = 0; i < expected.size(); ++i) {
            const auto answer = client.Read();
            QVERIFY2(answer.ok, qPrintable(QStringLiteral("connection %1, request %2").arg(connection).arg(i)));
            QCOMPARE(answer.state, expected.at(i).state);
            QCOMPARE(answer.content, expected.at(i).content);
        }
        QVERIFY(!client.WaitBytes(1, 50)); // no extra replies
    }
}

void RobustnessTest::brokenConnections()
{
    QRandomGenerator random(77);
    for (int i = 0; i < 40; ++i) {
        ProtocolTestClient client;
        QVERIFY(client.Open(port));
        switch (i % 4) {
        case 0: // unframed noise
            client.SendRaw(RandomBytes(random, 2000));
            break;
        case 1: // a frame cut short
            client.SendRaw(PackMessage(RandomBytes(random, 300) + "x").left(int(random.bounded(3, 200))));
            break;
        case 2: // a header cut short
            client.SendRaw(QByteArray("\x00\x00", 2));
            break;
        default: // a huge announced length
            client.SendRaw(QByteArray("\xff\xff\xff\xf0", 4) + RandomBytes(random, 100));
            break;
        }
        client.socket.abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(server->listener->SessionCount(), 0, 10000);
}

// A large body under the limit arrives in many pieces and is one request
// (a list request that large is then refused unread: its payload is a name).
void RobustnessTest::largeRequest()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port, QHostAddress(QStringLiteral("127.0.0.4"))));
    const QByteArray name(12 * 1024 * 1024, 'n');
    const auto answer = client.Request("GET_NESTER_JOB_LIST", name, 20000);
    QVERIFY(answer.ok && !answer.state);
    QCOMPARE(answer.content, QStringLiteral("Invalid data..."));
    QVERIFY(client.Request("INIT_SESSION").state);
}

void RobustnessTest::stillServing()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    const QByteArray add = QJsonDocument(QJsonObject{{"job_name", "after.aex"},
                                                     {"work_data", QString::fromLatin1(QByteArray("<x/>").toBase64())}})
                               .toJson(QJsonDocument::Compact);
    const auto added = client.Request("ADD_NESTER_JOB", add);
    QVERIFY(added.ok && added.state);
    const auto list = client.Request("GET_NESTER_JOB_LIST");
    QVERIFY(list.ok && list.state);
    const QJsonArray jobs = QJsonDocument::fromJson(list.content.toUtf8()).array();
    QCOMPARE(jobs.size(), 1);
    QCOMPARE(jobs.at(0).toObject().value("job_id").toString(), added.content);
    QVERIFY(client.Request("LOGOUT_SESSION").state);
    QVERIFY(client.WaitClosed());
}

QTEST_MAIN(RobustnessTest)
#include "tst_robustness.moc"
