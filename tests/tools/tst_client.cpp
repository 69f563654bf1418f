// zendral-client, run as a separate program against a job service that
// listens in the test process.

#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "TestMain.h"

using namespace Orvane::Zendral;

namespace {

struct Result
{
    int code = -1;
    QString out;
    QString err;
};

} // namespace

class ClientTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void addListPickUp();
    void moveAndRemove();
    void watch();
    void usageAndConnectionFailures();

private:
    // Runs the client with the service's port; the event loop runs meanwhile
    // so that the service in this process can serve it.
    Result Run(QStringList arguments, quint16 onPort = 0);
    QString WriteFile(const QString &name, const QByteArray &bytes);
    QJsonArray JsonList();

    LocalServer *server = nullptr;
    quint16 port = 0;
    QTemporaryDir work;
};

void ClientTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(work.isValid());
    QVERIFY(QFile::exists(QStringLiteral(ZENDRAL_CLIENT_PATH)));
}

void ClientTest::init()
{
    server = new LocalServer;
    QCOMPARE(server->StartListen(QStringLiteral("0")), QString());
    port = server->listener->serverPort();
}

void ClientTest::cleanup()
{
    for (NesterJob *job : server->Jobs())
        server->RemoveNesterJob(job->job_id);
    delete server;
    server = nullptr;
}

Result ClientTest::Run(QStringList arguments, quint16 onPort)
{
    arguments.prepend(QString::number(onPort ? onPort : port));
    arguments.prepend(QStringLiteral("--port"));
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(QStringLiteral(ZENDRAL_CLIENT_PATH), arguments);
    Result result;
    if (!process.waitForStarted(5000))
        return result;
    QElapsedTimer timer;
    timer.start();
    for (int turn = 0; turn < 10000 && process.state() != QProcess::NotRunning && timer.elapsed() < 20000; ++turn)
        QTest::qWait(10);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString ClientTest::WriteFile(const QString &name, const QByteArray &bytes)
{
    QFile file(work.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

QJsonArray ClientTest::JsonList()
{
    const Result listed = Run({QStringLiteral("list"), QStringLiteral("--json")});
    if (listed.code != 0)
        return QJsonArray{QStringLiteral("list failed: ") + listed.err};
    return QJsonDocument::fromJson(listed.out.toUtf8()).array();
}

void ClientTest::addListPickUp()
{
    const QByteArray document("<MARKER_DOCUMENT><MARKER>m</MARKER></MARKER_DOCUMENT>");
    const QString path = WriteFile(QStringLiteral("order.aex"), "<job/>");
    Result added = Run({QStringLiteral("add"), path, QStringLiteral("--time"), QStringLiteral("30")});
    QCOMPARE(added.code, 0);
    const QString first = added.out.trimmed();
    QCOMPARE(first.size(), 38);
    added = Run({QStringLiteral("add"), path, QStringLiteral("--name"), QStringLiteral("other.aex")});
    QCOMPARE(added.code, 0);
    const QString second = added.out.trimmed();

    const Result table = Run({QStringLiteral("list")});
    QCOMPARE(table.code, 0);
    const QStringList lines = table.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).startsWith(QStringLiteral("JOB ID")));
    QVERIFY(lines.at(1).startsWith(first) && lines.at(1).contains(QStringLiteral("order:127.0.0.1")));
    QCOMPARE(lines.at(1).simplified().split(QLatin1Char(' ')).value(2), QStringLiteral("1"));
    QVERIFY(lines.at(2).startsWith(second) && lines.at(2).contains(QStringLiteral("other:127.0.0.1")));
    QCOMPARE(lines.at(2).simplified().split(QLatin1Char(' ')).value(2), QStringLiteral("2"));

    const QJsonArray json = JsonList();
    QCOMPARE(json.size(), 2);
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("job_id")).toString(), first);

    // The running job's result is written to the chosen file and the job ends.
    server->OnJobStarted(first);
    server->UpdateData(QJsonObject{{QStringLiteral("job_id"), first},
                                   {QStringLiteral("data"), QString::fromLatin1(document.toBase64())}});
    const Result picked = Run({QStringLiteral("pickup"), first, QStringLiteral("-o"), work.filePath(QStringLiteral("out.xml"))});
    QCOMPARE(picked.code, 0);
    QFile out(work.filePath(QStringLiteral("out.xml")));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), document);
    QCOMPARE(JsonList().size(), 1);

    // No result yet: the service's text, exit 1, and no file left behind.
    const Result failed = Run({QStringLiteral("pickup"), second});
    QCOMPARE(failed.code, 1);
    QCOMPARE(failed.err.trimmed(), QStringLiteral("Job non-existent..."));
    QVERIFY(!QFile::exists(work.filePath(second.mid(1, 36) + QStringLiteral(".xml"))));
}

void ClientTest::moveAndRemove()
{
    const QString path = WriteFile(QStringLiteral("m.aex"), "<job/>");
    const QString first = Run({QStringLiteral("add"), path}).out.trimmed();
    const QString second = Run({QStringLiteral("add"), path}).out.trimmed();
    QCOMPARE(Run({QStringLiteral("move"), second, QStringLiteral("top")}).code, 0);
    QJsonArray list = JsonList();
    QCOMPARE(list.at(0).toObject().value(QStringLiteral("job_id")).toString(), second);
    QCOMPARE(list.at(0).toObject().value(QStringLiteral("position")).toInt(), 1);

    const Result stuck = Run({QStringLiteral("move"), second, QStringLiteral("up")});
    QCOMPARE(stuck.code, 1);
    QVERIFY(stuck.err.contains(QStringLiteral("cannot be moved")));
    QCOMPARE(Run({QStringLiteral("move"), second, QStringLiteral("sideways")}).code, 64);

    QCOMPARE(Run({QStringLiteral("remove"), first}).code, 0);
    const Result again = Run({QStringLiteral("remove"), first});
    QCOMPARE(again.code, 1);
    QCOMPARE(again.err.trimmed(), QStringLiteral("Job non-existent..."));
    const Result unknown = Run({QStringLiteral("pickup"), QStringLiteral("{no-such-job}")});
    QCOMPARE(unknown.code, 1);
    QVERIFY(unknown.err.contains(QStringLiteral("Job not found")));
    QCOMPARE(JsonList().size(), 1);
}

void ClientTest::watch()
{
    Result watched = Run({QStringLiteral("watch")});
    QCOMPARE(watched.code, 0);
    QVERIFY(watched.out.contains(QStringLiteral("no jobs")));

    const QString id = Run({QStringLiteral("add"), WriteFile(QStringLiteral("w.aex"), "<job/>")}).out.trimmed();
    server->OnJobStarted(id);
    server->OnJobFinish(id, 0);
    watched = Run({QStringLiteral("watch")});
    QCOMPARE(watched.code, 0);
    QVERIFY(watched.out.contains(id + QStringLiteral("  w:127.0.0.1  finished")));
}

void ClientTest::usageAndConnectionFailures()
{
    QCOMPARE(Run({}).code, 64);
    QCOMPARE(Run({QStringLiteral("frobnicate")}).code, 64);
    QCOMPARE(Run({QStringLiteral("add")}).code, 64);
    QCOMPARE(Run({QStringLiteral("list"), QStringLiteral("--time"), QStringLiteral("5")}).code, 64);
    const Result unreadable = Run({QStringLiteral("add"), work.filePath(QStringLiteral("missing.aex"))});
    QCOMPARE(unreadable.code, 1);
    QVERIFY(unreadable.err.contains(QStringLiteral("cannot read")));
    const Result help = Run({QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: zendral-client")));

    // A closed port on 127.0.0.1.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    const Result refused = Run({QStringLiteral("list")}, closedPort);
    QCOMPARE(refused.code, 2);
    QVERIFY2(refused.err.contains(QStringLiteral("cannot connect to 127.0.0.1:%1: ").arg(closedPort)), qPrintable(refused.err));

    // A peer that accepts and hangs up at once.
    QTcpServer rude;
    QVERIFY(rude.listen(QHostAddress::LocalHost, 0));
    connect(&rude, &QTcpServer::newConnection, &rude, [&rude]() {
        while (QTcpSocket *socket = rude.nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    });
    const Result dropped = Run({QStringLiteral("list")}, rude.serverPort());
    QCOMPARE(dropped.code, 2);
    QVERIFY2(dropped.err.contains(QStringLiteral("connection closed by the service")), qPrintable(dropped.err));
}

QTEST_MAIN(ClientTest)
#include "tst_client.moc"
