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
#include <QProcessEnvironment>
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
    void namesRoundTrip();
    void prefixIdsAndPickUpGuard();
    void waitForResult();
    void environmentDefaults();
    void bashCompletion();

private:
    // Runs the client with the service's port; the event loop runs meanwhile
    // so that the service in this process can serve it.
    Result Run(QStringList arguments, quint16 onPort = 0);
    // Runs a program with extra environment variables, as given.
    Result RunProgram(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &extra = QProcessEnvironment());
    QString WriteFile(const QString &name, const QByteArray &bytes);
    QJsonArray JsonList();
    NesterJob *Job(const QString &id);

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
    return RunProgram(QStringLiteral(ZENDRAL_CLIENT_PATH), arguments);
}

Result ClientTest::RunProgram(const QString &program, const QStringList &arguments,
                              const QProcessEnvironment &extra)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("ZENDRAL_HOST"));
    environment.remove(QStringLiteral("ZENDRAL_PORT"));
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(work.path());
    process.start(program, arguments);
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

NesterJob *ClientTest::Job(const QString &id)
{
    for (NesterJob *job : server->Jobs()) {
        if (job->job_id == id)
            return job;
    }
    return nullptr;
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
    QCOMPARE(lines.at(1).simplified().split(QLatin1Char(' ')).mid(0, 5),
             (QStringList{first, QStringLiteral("-"), QStringLiteral("order"), QStringLiteral("waiting"), QStringLiteral("1")}));
    QCOMPARE(lines.at(2).simplified().split(QLatin1Char(' ')).mid(0, 5),
             (QStringList{second, QStringLiteral("-"), QStringLiteral("other.aex"), QStringLiteral("waiting"), QStringLiteral("2")}));

    const QJsonArray json = JsonList();
    QCOMPARE(json.size(), 2);
    QCOMPARE(json.at(0).toObject().value(QStringLiteral("job_id")).toString(), first);

    // The running job's current result is written to the chosen file when
    // forced, and the job ends.
    server->OnJobStarted(first);
    server->UpdateData(QJsonObject{{QStringLiteral("job_id"), first},
                                   {QStringLiteral("data"), QString::fromLatin1(document.toBase64())}});
    const Result picked = Run({QStringLiteral("pickup"), first, QStringLiteral("--force"), QStringLiteral("-o"),
                               work.filePath(QStringLiteral("out.xml"))});
    QCOMPARE(picked.code, 0);
    QFile out(work.filePath(QStringLiteral("out.xml")));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), document);
    QCOMPARE(JsonList().size(), 1);

    // No result yet: the service's text, exit 1, and no file left behind.
    const Result failed = Run({QStringLiteral("pickup"), second, QStringLiteral("--force")});
    QCOMPARE(failed.code, 1);
    QCOMPARE(failed.err.trimmed(), QStringLiteral("zendral-client: Job non-existent..."));
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
    QCOMPARE(again.err.trimmed(), QStringLiteral("zendral-client: Job non-existent..."));
    const Result unknown = Run({QStringLiteral("pickup"), QStringLiteral("{no-such-job}")});
    QCOMPARE(unknown.code, 1);
    QVERIFY(unknown.err.contains(QStringLiteral("no job of this client")));
    QCOMPARE(JsonList().size(), 1);
}

void ClientTest::watch()
{
    Result watched = Run({QStringLiteral("watch")});
    QCOMPARE(watched.code, 0);
    QVERIFY(watched.out.contains(QStringLiteral("no jobs")));

    const QString id = Run({QStringLiteral("add"), WriteFile(QStringLiteral("w.aex"), "<job/>")}).out.trimmed();
    server->OnJobStarted(id);
    server->UpdateData(QJsonObject{{QStringLiteral("job_id"), id}, {QStringLiteral("data"), QString::fromLatin1(QByteArray("<MARKER_DOCUMENT/>").toBase64())}});
    server->OnJobFinish(id, 0);
    watched = Run({QStringLiteral("watch")});
    QCOMPARE(watched.code, 0);
    QVERIFY2(watched.out.contains(id + QStringLiteral("  w  finished")), qPrintable(watched.out));
}

void ClientTest::usageAndConnectionFailures()
{
    QCOMPARE(Run({}).code, 64);
    QCOMPARE(Run({QStringLiteral("frobnicate")}).code, 64);
    QCOMPARE(Run({QStringLiteral("add")}).code, 64);
    QCOMPARE(Run({QStringLiteral("list"), QStringLiteral("--time"), QStringLiteral("5")}).code, 64);
    // Unknown options and a missing value are named as the user wrote them.
    const Result unknown = Run({QStringLiteral("list"), QStringLiteral("-x")});
    QCOMPARE(unknown.code, 64);
    QVERIFY2(unknown.err.contains(QStringLiteral("unknown option: -x")), qPrintable(unknown.err));
    const Result noValue = Run({QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--host")});
    QCOMPARE(noValue.code, 64);
    QVERIFY2(noValue.err.contains(QStringLiteral("--host needs a value")), qPrintable(noValue.err));
    const Result unreadable = Run({QStringLiteral("add"), work.filePath(QStringLiteral("missing.aex"))});
    QCOMPARE(unreadable.code, 1);
    QVERIFY(unreadable.err.contains(QStringLiteral("cannot read")));
    const Result help = Run({QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: zendral-client")));
    // Help, version and error messages name the program as it was typed.
    const QString renamed = work.filePath(QStringLiteral("zendralctl"));
    QVERIFY(QFile::exists(renamed) || QFile::link(QStringLiteral(ZENDRAL_CLIENT_PATH), renamed));
    const Result renamedHelp = RunProgram(renamed, {QStringLiteral("--help")});
    QVERIFY2(renamedHelp.out.startsWith(QStringLiteral("Usage: zendralctl [--host H]")), qPrintable(renamedHelp.out));
    const Result version = RunProgram(renamed, {QStringLiteral("--version")});
    QCOMPARE(version.code, 0);
    QCOMPARE(version.out, QStringLiteral("zendralctl %1 (build %2)\n").arg(ZENDRAL_VERSION, ZENDRAL_BUILD_NUMBER));
    const Result renamedError = RunProgram(renamed, {QStringLiteral("fly")});
    QCOMPARE(renamedError.code, 64);
    QVERIFY2(renamedError.err.startsWith(QStringLiteral("zendralctl: unknown command: fly\n(see zendralctl --help)")),
             qPrintable(renamedError.err));
    const Result renamedUnreadable = RunProgram(renamed, {QStringLiteral("add"), work.filePath(QStringLiteral("missing.aex"))});
    QVERIFY2(renamedUnreadable.err.startsWith(QStringLiteral("zendralctl: cannot read ")), qPrintable(renamedUnreadable.err));

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

// What add sends is what the window decodes: Base64url of "work::name" with
// the file's last suffix kept. The list shows the names back, and a record
// name that is not such Base64 of UTF-8 text as it is.
void ClientTest::namesRoundTrip()
{
    const QString path = WriteFile(QStringLiteral("front.panel.aex"), "<job/>");
    const QString work = QStringLiteral("Spring 24");
    const QString name = QStringLiteral("Shirt 衬衫 front");
    const QString named = Run({QStringLiteral("add"), path, QStringLiteral("--work"), work, QStringLiteral("--name"), name}).out.trimmed();
    const QString plain = Run({QStringLiteral("add"), path}).out.trimmed();
    // "abcd" is Base64 of bytes that are not UTF-8.
    QVERIFY(server->AddNesterJob(R"({"job_name":"abcd.aex","work_data":""})", QStringLiteral("127.0.0.1")).first);

    auto decoded = [this](const QString &id) {
        const NesterJob *job = Job(id);
        return job ? QString::fromUtf8(QByteArray::fromBase64(job->job_name.toLatin1(), QByteArray::Base64UrlEncoding))
                   : QString();
    };
    QCOMPARE(decoded(named), work + QStringLiteral("::") + name);
    QCOMPARE(decoded(plain), QStringLiteral("front.panel"));
    QVERIFY(Job(named)->fileaex.endsWith(QStringLiteral(".aex")));

    const Result table = Run({QStringLiteral("list")});
    const QStringList lines = table.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines.at(1).startsWith(named) && lines.at(1).contains(QStringLiteral("  ") + work + QStringLiteral("  "))
                 && lines.at(1).contains(QStringLiteral("  ") + name + QStringLiteral("  ")),
             qPrintable(table.out));
    QCOMPARE(lines.at(2).simplified().split(QLatin1Char(' ')).mid(1, 3),
             (QStringList{QStringLiteral("-"), QStringLiteral("front.panel"), QStringLiteral("waiting")}));
    QCOMPARE(lines.at(3).simplified().split(QLatin1Char(' ')).mid(1, 3),
             (QStringList{QStringLiteral("-"), QStringLiteral("abcd"), QStringLiteral("waiting")}));

    // Names the window would show otherwise, or too long for a file name,
    // are refused before anything is sent.
    QCOMPARE(Run({QStringLiteral("add"), path, QStringLiteral("--name"), QStringLiteral("a::b")}).code, 64);
    QCOMPARE(Run({QStringLiteral("add"), path, QStringLiteral("--work"), QStringLiteral("w:"), QStringLiteral("--name"), QStringLiteral("n")}).code, 64);
    const Result tooLong = Run({QStringLiteral("add"), path, QStringLiteral("--name"), QString(200, QLatin1Char('x'))});
    QCOMPARE(tooLong.code, 64);
    QVERIFY(tooLong.err.contains(QStringLiteral("too long")));
    QCOMPARE(server->Jobs().size(), 3);
    // The longest name the client sends is one the service takes.
    const QString longest((MaxJobNameBytes - 4) / 4 * 3, QLatin1Char('y'));
    QCOMPARE(Run({QStringLiteral("add"), path, QStringLiteral("--name"), longest}).code, 0);
    QCOMPARE(Run({QStringLiteral("add"), path, QStringLiteral("--name"), longest + QLatin1Char('y')}).code, 64);
    QCOMPARE(server->Jobs().size(), 4);
}

// Ids may be shortened to a unique beginning, with or without braces; a
// pick-up of a job that has not finished is refused and the job kept.
void ClientTest::prefixIdsAndPickUpGuard()
{
    const QByteArray document("<MARKER_DOCUMENT><MARKER>g</MARKER></MARKER_DOCUMENT>");
    const QString id = Run({QStringLiteral("add"), WriteFile(QStringLiteral("g.aex"), "<job/>")}).out.trimmed();
    const QString prefix = id.mid(1, 6);
    Result refused = Run({QStringLiteral("pickup"), prefix});
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.err.contains(QStringLiteral("has not finished (waiting")), qPrintable(refused.err));
    server->OnJobStarted(id);
    server->UpdateData(QJsonObject{{QStringLiteral("job_id"), id},
                                   {QStringLiteral("data"), QString::fromLatin1(document.toBase64())}});
    refused = Run({QStringLiteral("pickup"), id});
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.err.contains(QStringLiteral("has not finished (running")), qPrintable(refused.err));
    QVERIFY(Job(id) && Job(id)->IsRunning());

    server->OnJobFinish(id, 0);
    // A result that could not be stored is not fetched.
    refused = Run({QStringLiteral("pickup"), prefix, QStringLiteral("-o"), work.filePath(QStringLiteral("no-such-folder/r.xml"))});
    QCOMPARE(refused.code, 1);
    QVERIFY(Job(id));
    const Result picked = Run({QStringLiteral("pickup"), QLatin1Char('{') + prefix.toUpper(), QStringLiteral("-o"), QStringLiteral("-")});
    QCOMPARE(picked.code, 0);
    QCOMPARE(picked.out.toUtf8(), document);
    QVERIFY(!Job(id));

    // Jobs until two ids begin alike: that beginning names no single job.
    QMap<QString, QStringList> byFirst;
    QString shared;
    for (int i = 0; i < 17 && shared.isEmpty(); ++i) {
        const Reply added = server->AddNesterJob(R"({"job_name":"a.aex","work_data":""})", QStringLiteral("127.0.0.1"));
        QVERIFY(added.first);
        const QString addedId = QString::fromLatin1(added.second);
        byFirst[addedId.mid(1, 1)] << addedId;
        if (byFirst[addedId.mid(1, 1)].size() == 2)
            shared = addedId.mid(1, 1);
    }
    const int count = server->Jobs().size();
    const Result ambiguous = Run({QStringLiteral("remove"), shared});
    QCOMPARE(ambiguous.code, 1);
    QVERIFY2(ambiguous.err.contains(QStringLiteral("ambiguous")), qPrintable(ambiguous.err));
    QCOMPARE(server->Jobs().size(), count);
    QCOMPARE(Run({QStringLiteral("remove"), byFirst[shared].first().mid(1, 36)}).code, 0);
    QVERIFY(!Job(byFirst[shared].first()));

    // Another address's job: remove takes its full id, but a pick-up cannot
    // see its state and keeps it.
    const QString other = QString::fromLatin1(
        server->AddNesterJob(R"({"job_name":"o.aex","work_data":""})", QStringLiteral("127.0.0.9")).second);
    refused = Run({QStringLiteral("pickup"), other});
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.err.contains(QStringLiteral("not among this client's jobs")), qPrintable(refused.err));
    QVERIFY(Job(other));
    QCOMPARE(Run({QStringLiteral("remove"), other}).code, 0);
    QVERIFY(!Job(other));
}

// add --wait against a stand-in for the engine that runs each new job and
// finishes it, or marks it failed.
void ClientTest::waitForResult()
{
    const QByteArray document("<MARKER_DOCUMENT><MARKER>w</MARKER></MARKER_DOCUMENT>");
    bool fail = false;
    QStringList seen;
    QObject engine; // ends the connection with this scope
    connect(server, &LocalServer::updateJobList, &engine, [&]() {
        for (NesterJob *job : server->Jobs()) {
            const QString id = job->job_id;
            if (!job->IsWaiting() || seen.contains(id))
                continue;
            seen << id;
            if (fail) {
                std::lock_guard<std::mutex> locker(server->QueueMutex());
                job->state = NesterJob::Failed;
                job->error = QStringLiteral("engine exit code 3");
                continue;
            }
            server->OnJobStarted(id);
            server->UpdateData(QJsonObject{{QStringLiteral("job_id"), id},
                                           {QStringLiteral("data"), QString::fromLatin1(document.toBase64())}});
            QTimer::singleShot(300, &engine, [this, id]() { server->OnJobFinish(id, 0); });
        }
    });
    const QString path = WriteFile(QStringLiteral("wait.aex"), "<job/>");
    const QString target = work.filePath(QStringLiteral("waited.xml"));
    const Result waited = Run({QStringLiteral("add"), path, QStringLiteral("--wait"), QStringLiteral("-o"), target});
    QVERIFY2(waited.code == 0, qPrintable(waited.err));
    QFile result(target);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(), document);
    QVERIFY(server->Jobs().isEmpty());

    fail = true;
    const Result failed = Run({QStringLiteral("add"), path, QStringLiteral("--wait")});
    QCOMPARE(failed.code, 1);
    QVERIFY2(failed.err.contains(QStringLiteral("failed: engine exit code 3")), qPrintable(failed.err));
    const QString id = failed.out.trimmed();
    QVERIFY(Job(id));
    QVERIFY(!QFile::exists(work.filePath(id.mid(1, 36) + QStringLiteral(".xml"))));
    const Result listed = Run({QStringLiteral("list")});
    QVERIFY2(listed.out.contains(id + QStringLiteral(" failed: engine exit code 3")), qPrintable(listed.out));
    QCOMPARE(Run({QStringLiteral("watch"), id}).code, 1);
}

void ClientTest::environmentDefaults()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    const QString client = QStringLiteral(ZENDRAL_CLIENT_PATH);
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("ZENDRAL_PORT"), QString::number(port));
    QCOMPARE(RunProgram(client, {QStringLiteral("list")}, environment).code, 0);
    // Options win over the environment.
    environment.insert(QStringLiteral("ZENDRAL_PORT"), QString::number(closedPort));
    QCOMPARE(RunProgram(client, {QStringLiteral("--port"), QString::number(port), QStringLiteral("list")}, environment).code, 0);
    environment.insert(QStringLiteral("ZENDRAL_HOST"), QStringLiteral("127.0.0.3"));
    const Result refused = RunProgram(client, {QStringLiteral("list")}, environment);
    QCOMPARE(refused.code, 2);
    QVERIFY2(refused.err.contains(QStringLiteral("127.0.0.3:%1").arg(closedPort)), qPrintable(refused.err));
    environment.insert(QStringLiteral("ZENDRAL_PORT"), QStringLiteral("http"));
    QCOMPARE(RunProgram(client, {QStringLiteral("list")}, environment).code, 64);
}

// The completion offers commands, and the ids of this client's jobs asked
// from the service named on the line.
void ClientTest::bashCompletion()
{
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (bash.isEmpty())
        QSKIP("no bash on this machine");
    const QString id = Run({QStringLiteral("add"), WriteFile(QStringLiteral("c.aex"), "<job/>")}).out.trimmed();
    const QString script = QStringLiteral(
        "source '%1/tools/client/zendral-client.bash-completion'\n"
        "COMP_WORDS=('%2' --port %3 pickup ''); COMP_CWORD=4; _zendral_client; echo \"${COMPREPLY[*]}\"\n"
        "COMP_WORDS=(zendral-client wa); COMP_CWORD=1; _zendral_client; echo \"${COMPREPLY[*]}\"\n")
        .arg(QStringLiteral(ZENDRAL_SOURCE_DIR), QStringLiteral(ZENDRAL_CLIENT_PATH)).arg(port);
    const Result completed = RunProgram(bash, {QStringLiteral("-c"), script});
    QCOMPARE(completed.code, 0);
    QCOMPARE(completed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             (QStringList{id.mid(1, 36), QStringLiteral("watch")}));
}

QTEST_MAIN(ClientTest)
#include "tst_client.moc"
