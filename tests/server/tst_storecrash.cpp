// An acknowledged change survives a crash: a child process (this executable
// started again with a child argument, in the same isolated environment)
// makes the change through LocalServer, prints the acknowledgement and is
// killed at once; a new LocalServer on the same data folder must see it.

#include "LocalServer.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <memory>

using namespace Orvane::Zendral;

namespace {

const char *const ChildArgument = "--store-crash-child";
const QString DataName = QStringLiteral("crash");

// The child: one change, the acknowledgement on stdout, then it waits to be
// killed (at most 30 s).
int RunChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    // The parent's data folder (same isolated HOME), not emptied.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("ZendralTest"));
    QCoreApplication::setApplicationName(DataName);
    LocalServer *server = new LocalServer; // never destroyed: no final write
    const QString command = QString::fromLatin1(argv[2]);
    Reply reply;
    if (command == QLatin1String("add"))
        reply = server->AddNesterJob(StoreTest::AddRequest("crash.aex", "survives"), QStringLiteral("127.0.0.1"));
    else if (command == QLatin1String("remove") && argc > 3)
        reply = server->RemoveNesterJob(QString::fromLatin1(argv[3]));
    std::printf("%s %s\n", reply.first ? "ACK" : "NAK", reply.second.constData());
    std::fflush(stdout);
    for (int i = 0; i < 300; ++i)
        QThread::msleep(100);
    return 3;
}

} // namespace

class TestStoreCrash : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void acknowledgedAddSurvivesKill();
    void acknowledgedRemoveSurvivesKill();
    void backupOnDiskBeforeReply();

private:
    QString runAndKill(const QStringList &arguments)
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{ChildArgument} + arguments);
        if (!child.waitForStarted(10000))
            return QString();
        QByteArray line;
        QDeadlineTimer deadline(20000);
        while (!line.contains('\n') && !deadline.hasExpired() && child.state() == QProcess::Running) {
            child.waitForReadyRead(200);
            line += child.readAllStandardOutput();
        }
        child.kill(); // SIGKILL: no destructor, no final backup
        child.waitForFinished(10000);
        return QString::fromLatin1(line).trimmed();
    }
    QStringList ids()
    {
        LocalServer server;
        QStringList list;
        for (NesterJob *job : server.Jobs())
            list << job->job_id;
        return list;
    }
};

void TestStoreCrash::init()
{
    QVERIFY(StoreTest::UseFreshDataFolder(DataName));
}

void TestStoreCrash::acknowledgedAddSurvivesKill()
{
    const QString line = runAndKill({"add"});
    QVERIFY2(line.startsWith("ACK {"), qPrintable(line));
    const QString id = line.mid(4);
    QCOMPARE(ids(), QStringList{id});
    LocalServer server;
    QCOMPARE(StoreTest::ReadFile(server.Jobs().first()->fileaex), QByteArray("survives"));
}

void TestStoreCrash::acknowledgedRemoveSurvivesKill()
{
    QString id;
    {
        LocalServer server;
        id = QString::fromLatin1(server.AddNesterJob(StoreTest::AddRequest("a.aex", "a"), "127.0.0.1").second);
        server.AddNesterJob(StoreTest::AddRequest("b.aex", "b"), "127.0.0.1");
    }
    QCOMPARE(ids().size(), 2);
    const QString line = runAndKill({"remove", id});
    QCOMPARE(line, QStringLiteral("ACK"));
    const QStringList left = ids();
    QCOMPARE(left.size(), 1);
    QVERIFY(!left.contains(id));
}

// In-process: the backup on disk already holds an added job when the reply
// is returned (the writer thread is not relied upon).
void TestStoreCrash::backupOnDiskBeforeReply()
{
    LocalServer server;
    for (int i = 0; i < 5; ++i) {
        const Reply r = server.AddNesterJob(StoreTest::AddRequest("x.aex", "x"), "127.0.0.1");
        QVERIFY(r.first);
        const QByteArray saved = StoreTest::ReadFile(StoreTest::JobsPath() + "/JOB_LIST.BAK");
        QVERIFY(saved.contains(r.second));
        QVERIFY(server.RemoveNesterJob(QString::fromLatin1(r.second)).first);
        QVERIFY(!StoreTest::ReadFile(StoreTest::JobsPath() + "/JOB_LIST.BAK").contains(r.second));
    }
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
