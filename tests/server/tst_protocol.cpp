// The client protocol as a client sees it: greeting, framing rules, every
// command's replies, and the list limited to the client's own address.

#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ProtocolTestClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QtTest>

#include "TestMain.h"

using namespace Orvane::Zendral;

namespace {

QByteArray AddPayload(const QString &name, const QByteArray &data, int time = 12)
{
    QJsonObject request{{"job_name", name}, {"work_data", QString::fromLatin1(data.toBase64())}, {"time", time}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

QByteArray MovePayload(const QString &id, int step)
{
    return QJsonDocument(QJsonObject{{"job_id", id}, {"step", step}}).toJson(QJsonDocument::Compact);
}

QJsonArray ListOf(ProtocolTestClient &client, const QByteArray &name = QByteArray())
{
    const ProtocolTestClient::Answer answer = client.Request("GET_NESTER_JOB_LIST", name);
    if (!answer.ok || !answer.state)
        return QJsonArray{QStringLiteral("request failed")};
    return QJsonDocument::fromJson(answer.content.toUtf8()).array();
}

// job id -> position, from a list reply.
QMap<QString, int> Positions(const QJsonArray &list)
{
    QMap<QString, int> positions;
    for (const QJsonValue &value : list)
        positions.insert(value.toObject().value("job_id").toString(), value.toObject().value("position").toInt(-1));
    return positions;
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void greeting();
    void framingRules();
    void pipelinedRequests();
    void logout();
    void addListMovePickUpRemove();
    void listLimitedToClientAddress();

private:
    LocalServer *server = nullptr;
    quint16 port = 0;
};

void ProtocolTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void ProtocolTest::init()
{
    server = new LocalServer;
    QCOMPARE(server->StartListen(QStringLiteral("0")), QString());
    port = server->listener->serverPort();
    QVERIFY(port != 0);
}

void ProtocolTest::cleanup()
{
    // Jobs leave through the service, which removes their folders.
    for (NesterJob *job : server->Jobs())
        server->RemoveNesterJob(job->job_id);
    delete server;
    server = nullptr;
}

void ProtocolTest::greeting()
{
    ProtocolTestClient client;
    QVERIFY(client.Connect(port));
    QVERIFY(client.WaitBytes(56));
    QTest::qWait(100);
    client.received += client.socket.readAll();
    QCOMPARE(client.received.size(), 56);
    QCOMPARE(client.received.left(4), QByteArray("\x00\x00\x00\x34", 4));
    const QByteArray body = client.received.mid(4);
    QVERIFY(body.endsWith("=="));
    QCOMPARE(QByteArray::fromBase64(body, QByteArray::Base64UrlEncoding),
             QByteArray("{\"content\":\"Welcome...\",\"state\":true}"));
}

void ProtocolTest::framingRules()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port));

    // INIT_SESSION may come any number of times; it names the version.
    QCoreApplication::setApplicationVersion(QStringLiteral("2.3.0"));
    for (int i = 0; i < 2; ++i) {
        const auto init = client.Request("INIT_SESSION");
        QVERIFY(init.ok && init.state);
        QCOMPARE(init.content, QStringLiteral("2.3.0"));
    }
    // A bare command without '@', a lower-case or extended command name.
    for (const QByteArray &body : {QByteArray("LOGOUT_SESSION"), QByteArray("init_session@"),
                                   QByteArray("INIT_SESSIONX@"), QByteArray("@INIT_SESSION")}) {
        client.SendRaw(PackMessage(body));
        const auto answer = client.Read();
        QVERIFY2(answer.ok, body.constData());
        QCOMPARE(answer.state, false);
        QCOMPARE(answer.content, QStringLiteral("Invalid request..."));
    }
    QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);

    // A header announcing 0 reads as announcing 1 when that byte follows at
    // once; one that nothing follows for a moment is an empty frame that
    // gets no reply, and the next request is read from its first byte.
    client.SendRaw(QByteArray(4, '\0') + QByteArray(1, '\0'));
    const auto zero = client.Read();
    QVERIFY(zero.ok && !zero.state);
    QCOMPARE(zero.content, QStringLiteral("Invalid request..."));
    for (int i = 0; i < 2; ++i) {
        client.SendRaw(QByteArray(4, '\0'));
        QVERIFY(!client.WaitBytes(1, 1000));
    }
    const auto afterEmpty = client.Request("INIT_SESSION");
    QVERIFY(afterEmpty.ok && afterEmpty.state);

    // A request in pieces with pauses is one request.
    const QByteArray frame = PackMessage("INIT_SESSION@");
    client.SendRaw(frame.left(2));
    QTest::qWait(200);
    client.SendRaw(frame.mid(2, 6));
    QTest::qWait(200);
    client.SendRaw(frame.mid(8));
    const auto pieced = client.Read();
    QVERIFY(pieced.ok && pieced.state);
    QVERIFY(!client.WaitBytes(1, 700)); // and only one reply
}

void ProtocolTest::pipelinedRequests()
{
    // A client that sends its next request before the reply gets one reply
    // per request, in order.
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    client.SendRaw(PackMessage("INIT_SESSION@") + PackMessage("REMOVE_NESTER_JOB@" +
                                                               QByteArray("{nope}").toBase64(QByteArray::Base64UrlEncoding))
                   + PackMessage("GET_NESTER_JOB_LIST@"));
    const auto first = client.Read();
    const auto second = client.Read();
    const auto third = client.Read();
    QVERIFY(first.ok && first.state);
    QVERIFY(second.ok && !second.state);
    QCOMPARE(second.content, QStringLiteral("Job non-existent..."));
    QVERIFY(third.ok && third.state);
    QCOMPARE(third.content, QStringLiteral("[]"));
}

void ProtocolTest::logout()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port));
    QTRY_COMPARE(server->listener->SessionCount(), 1);
    const auto bye = client.Request("LOGOUT_SESSION");
    QVERIFY(bye.ok && bye.state);
    QCOMPARE(bye.content, QString());
    QVERIFY(client.WaitClosed(3000));
    QTRY_COMPARE_WITH_TIMEOUT(server->listener->SessionCount(), 0, 3000);
}

void ProtocolTest::addListMovePickUpRemove()
{
    ProtocolTestClient client;
    QVERIFY(client.Open(port));

    auto bad = client.Request("ADD_NESTER_JOB", "not json");
    QVERIFY(bad.ok && !bad.state);
    QCOMPARE(bad.content, QStringLiteral("Invalid data..."));
    bad = client.Request("ADD_NESTER_JOB", "[1,2]");
    QVERIFY(bad.ok && !bad.state);
    QCOMPARE(bad.content, QStringLiteral("Job name is empty..."));

    const QByteArray document("<MARKER_DOCUMENT><INFO a=\"1\"/><MARKER w=\"2\">x</MARKER></MARKER_DOCUMENT>");
    QStringList ids;
    for (const char *name : {"order.aex", "second.aex", "third.aex"}) {
        const auto added = client.Request("ADD_NESTER_JOB", AddPayload(QLatin1String(name), "<doc/>"));
        QVERIFY(added.ok && added.state);
        QCOMPARE(added.content.size(), 38);
        ids << added.content;
    }
    QJsonArray list = ListOf(client);
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(0).toObject().value("job_name").toString(), QStringLiteral("order:127.0.0.1"));
    QCOMPARE(Positions(list), (QMap<QString, int>{{ids[0], 1}, {ids[1], 2}, {ids[2], 3}}));

    // Moves: the third to the top; a step outside the table changes nothing.
    QVERIFY(client.Request("MOVE_NESTER_JOB_STEP", MovePayload(ids[2], 0)).state);
    const auto odd = client.Request("MOVE_NESTER_JOB_STEP", MovePayload(ids[0], 2));
    QVERIFY(odd.ok && !odd.state);
    QCOMPARE(odd.content, QString());
    QCOMPARE(Positions(ListOf(client)), (QMap<QString, int>{{ids[2], 1}, {ids[0], 2}, {ids[1], 3}}));

    // A running job with a result: its MARKER comes with the list when named.
    server->OnJobStarted(ids[0]);
    server->UpdateData(QJsonObject{{"job_id", ids[0]}, {"data", QString::fromLatin1(document.toBase64())}});
    list = ListOf(client, "order");
    QCOMPARE(Positions(list), (QMap<QString, int>{{ids[2], 1}, {ids[0], 0}, {ids[1], 2}}));
    for (const QJsonValue &value : list) {
        const QJsonObject job = value.toObject();
        const bool named = job.value("job_id").toString() == ids[0];
        QCOMPARE(job.contains("job_data"), named);
        if (named)
            QCOMPARE(QByteArray::fromBase64(job.value("job_data").toString().toLatin1(), QByteArray::Base64UrlEncoding),
                     QByteArray("<MARKER w=\"2\">x</MARKER>"));
    }
    QVERIFY(!ListOf(client).at(1).toObject().contains("job_data"));

    // Pick-up of the running job returns the whole result and ends the job.
    const auto picked = client.Request("PICKUP_NESTER_JOB", ids[0].toUtf8());
    QVERIFY(picked.ok && picked.state);
    QCOMPARE(QByteArray::fromBase64(picked.content.toLatin1(), QByteArray::Base64UrlEncoding), document);
    QCOMPARE(ListOf(client).size(), 2);
    const auto unknown = client.Request("PICKUP_NESTER_JOB", ids[0].toUtf8());
    QVERIFY(unknown.ok && !unknown.state);
    QCOMPARE(unknown.content, QString());
    // A waiting job has no result file: the pick-up fails and ends it anyway.
    const auto missing = client.Request("PICKUP_NESTER_JOB", ids[1].toUtf8());
    QVERIFY(missing.ok && !missing.state);
    QCOMPARE(missing.content, QStringLiteral("Job non-existent..."));

    QVERIFY(client.Request("REMOVE_NESTER_JOB", ids[2].toUtf8()).state);
    const auto again = client.Request("REMOVE_NESTER_JOB", ids[2].toUtf8());
    QVERIFY(again.ok && !again.state);
    QCOMPARE(again.content, QStringLiteral("Job non-existent..."));
    QCOMPARE(ListOf(client), QJsonArray());
}

void ProtocolTest::listLimitedToClientAddress()
{
    ProtocolTestClient first;
    ProtocolTestClient second;
    ProtocolTestClient firstAgain;
    QVERIFY(first.Open(port));
    QVERIFY(second.Open(port, QHostAddress(QStringLiteral("127.0.0.2"))));
    QVERIFY(firstAgain.Open(port));

    const QString a = first.Request("ADD_NESTER_JOB", AddPayload("a.aex", "1")).content;
    const QString b = second.Request("ADD_NESTER_JOB", AddPayload("b.aex", "2")).content;
    const QString c = first.Request("ADD_NESTER_JOB", AddPayload("c.aex", "3")).content;
    QCOMPARE(Positions(ListOf(first)), (QMap<QString, int>{{a, 1}, {c, 3}}));
    QCOMPARE(Positions(ListOf(firstAgain)), (QMap<QString, int>{{a, 1}, {c, 3}}));
    const QJsonArray theirs = ListOf(second);
    QCOMPARE(Positions(theirs), (QMap<QString, int>{{b, 2}}));
    QCOMPARE(theirs.at(0).toObject().value("job_name").toString(), QStringLiteral("b:127.0.0.2"));
}

QTEST_MAIN(ProtocolTest)
#include "tst_protocol.moc"
