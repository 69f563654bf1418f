// Runs the built service as a separate process (offscreen, with its own
// settings and data folders) and drives it through the client protocol: a
// job from submission to pick-up, the queue surviving a hard kill, and the
// start-up launch of the updater.
#include "Protocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include "TestProcesses.h"

#include <QtTest>

#include <csignal>
#include <memory>
#ifdef Q_OS_UNIX
#include <sys/types.h>
#include <signal.h>
#endif

using namespace Orvane::Zendral;

using TestProcesses::childrenOf;
using TestProcesses::copyService;
using TestProcesses::isAlive;
using TestProcesses::pollUntil;

namespace {

const QByteArray MarkerDocument =
    "<?xml version=\"1.0\"?><MARKER_DOCUMENT><HEADER/><MARKER><PIECE/></MARKER></MARKER_DOCUMENT>";
// Ids of the processes whose parent is `pid` (the engines the service runs).
// One protocol connection to the service.
class Client
{
public:
    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), port);
        if (!socket.waitForConnected(10000))
            return false;
        bool state = false;
        QString content;
        return readReply(state, content) && state && content == QLatin1String("Welcome...");
    }

    bool request(const QByteArray &command, const QByteArray &payload, bool &state, QString &content)
    {
        socket.write(PackMessage(EncodeRequest(command, payload)));
        if (!socket.waitForBytesWritten(5000))
            return false;
        return readReply(state, content);
    }

    QJsonArray list(const QString &name)
    {
        bool state = false;
        QString content;
        if (!request("GET_NESTER_JOB_LIST", name.toUtf8(), state, content) || !state)
            return {};
        return QJsonDocument::fromJson(content.toUtf8()).array();
    }

private:
    bool readReply(bool &state, QString &content)
    {
        QElapsedTimer timer;
        timer.start();
        QByteArray body;
        for (int turn = 0; TakeFrame(buffer, body) == FrameStatus::Incomplete; ++turn) {
            if (turn >= 150000 || timer.hasExpired(30000) || socket.state() != QAbstractSocket::ConnectedState)
                return false;
            socket.waitForReadyRead(200);
            buffer += socket.readAll();
        }
        return DecodeReply(body, state, content);
    }

    QTcpSocket socket;
    QByteArray buffer;
};

QJsonObject findJob(const QJsonArray &list, const QString &id)
{
    for (const QJsonValue &value : list)
        if (value.toObject().value("job_id").toString() == id)
            return value.toObject();
    return {};
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        // The updater beside the copy stays inside the temporary folder too.
        program = copyService(root->path(), QStringLiteral(ZENDRAL_PATH));
        QVERIFY(!program.isEmpty());
        writeSettings(QString());
    }

    void cleanup()
    {
        stopService();
        root.reset();
    }

    void jobFromSubmissionToPickUp()
    {
        // A data folder left open to everyone by an older version.
        const QString dataFolder = root->filePath("data/Orvane/Zendral");
        QVERIFY(QDir().mkpath(dataFolder));
        QVERIFY(QFile::setPermissions(dataFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                      | QFile::ExeOther));
        startService({"-a"}, {{"ZENDRAL_STUB_MESSAGES", "4"}, {"ZENDRAL_STUB_PAUSE_MS", "700"}});
        Client client;
        QVERIFY(connectWithRetry(client));

        const QString id = addJob(client, "order.aex");
        QCOMPARE(id.size(), 38);
        QVERIFY(!jobFolders("order.aex").isEmpty());

        // Running: a start time, progress, and the current MARKER element.
        QJsonObject job;
        QVERIFY(pollUntil([&] {
            job = findJob(client.list("order"), id);
            const double progress = job.value("complete_percent").toDouble();
            return !job.value("estimated_start").toString().isEmpty()
                && !job.value("job_data").toString().isEmpty() && progress > 0 && progress < 100;
        }));
        QCOMPARE(job.value("position").toInt(), 0);
        QCOMPARE(job.value("job_name").toString(), QStringLiteral("order:127.0.0.1"));
        const QByteArray marker = QByteArray::fromBase64(job.value("job_data").toString().toLatin1(),
                                                         QByteArray::Base64UrlEncoding);
        QVERIFY2(marker.trimmed().startsWith("<MARKER"), marker.constData());
        QVERIFY2(!marker.contains("MARKER_DOCUMENT") && !marker.contains("HEADER"), marker.constData());
        // Another requested name gets no result data.
        QVERIFY(!findJob(client.list("other"), id).contains("job_data"));
        checkPrivateModes(dataFolder, jobFolders("order.aex").value(0));

        QVERIFY(pollUntil([&] {
            job = findJob(client.list("order"), id);
            return job.value("complete_percent").toDouble() == 100;
        }));

        bool state = false;
        QString content;
        QVERIFY(client.request("PICKUP_NESTER_JOB", id.toUtf8(), state, content));
        QVERIFY2(state, qPrintable(content));
        const QByteArray result = QByteArray::fromBase64(content.toLatin1(), QByteArray::Base64UrlEncoding);
        QVERIFY2(result.contains("MARKER"), result.constData());

        QVERIFY(findJob(client.list("order"), id).isEmpty());
        QVERIFY(pollUntil([&] { return jobFolders("order.aex").isEmpty(); }));
        QVERIFY(client.request("PICKUP_NESTER_JOB", id.toUtf8(), state, content));
        QVERIFY(!state);
    }

    void queueSurvivesHardKill()
    {
        const QList<QPair<QByteArray, QByteArray>> hang{{"ZENDRAL_STUB_MODE", "hang"}};
        startService({"-a"}, hang);
        QStringList ids;
        {
            Client client;
            QVERIFY(connectWithRetry(client));
            for (const char *name : {"first.aex", "second.aex", "third.aex"})
                ids << addJob(client, name);
            // The first one runs (and hangs), the other two wait behind it.
            QVERIFY(pollUntil([&] {
                const QJsonArray list = client.list(QString());
                return list.size() == 3 && list.at(0).toObject().value("position").toInt() == 0
                    && list.at(1).toObject().value("position").toInt() == 1
                    && list.at(2).toObject().value("position").toInt() == 2;
            }));
        }
        QTest::qWait(1000); // let the queue backup land
        // The engine dies with the service, also when the service is killed.
        const QList<qint64> engines = childrenOf(service->processId());
        QCOMPARE(engines.size(), 1);
        service->kill();
        QVERIFY(service->waitForFinished(10000));
        QVERIFY(pollUntil([&] { return !isAlive(engines.first()); }));
        stopService();

        startService({"-a"}, hang);
        Client client;
        QVERIFY(connectWithRetry(client));
        const QJsonArray list = client.list(QString());
        QStringList restored;
        for (const QJsonValue &value : list)
            restored << value.toObject().value("job_id").toString();
        QCOMPARE(restored, ids);
        QCOMPARE(list.at(2).toObject().value("position").toInt(), list.at(1).toObject().value("position").toInt() + 1);
        for (const char *name : {"first.aex", "second.aex", "third.aex"})
            QCOMPARE(jobFolders(name).size(), 1);
    }

    void startupLaunchesUpdater()
    {
        const QString record = root->filePath("updater.log");
        QVERIFY(QFile::copy(QStringLiteral(ZENDRAL_STUB_UPDATER_PATH), root->filePath("bin/VelUpdate")));
        writeSettings(QStringLiteral("zh_CN"));
        startService({"-a"}, {{"ZENDRAL_STUB_UPDATER_RECORD", record.toLocal8Bit()}});
        QVERIFY(pollUntil([&] { return !recordedLines(record).isEmpty(); }));
        Client client;
        QVERIFY(connectWithRetry(client));
        const QList<QJsonObject> lines = recordedLines(record);
        QCOMPARE(lines.size(), 1); // no update check with -a
        QStringList arguments;
        for (const QJsonValue &value : lines.first().value("arguments").toArray())
            arguments << value.toString();
        QCOMPARE(arguments, (QStringList{QFileInfo(program).absoluteFilePath(), "Zendral", "23",
                                         QStringLiteral(ZENDRAL_BUILD_NUMBER), "", " ", "zh_CN"}));
        stopService();

        // "-A" and "--a" are not the auto-start argument: the update check
        // runs (no update) and the service waits for the operator.
        QFile::remove(record);
        startService({"-A", "--a"}, {{"ZENDRAL_STUB_UPDATER_RECORD", record.toLocal8Bit()}});
        QVERIFY(pollUntil([&] { return recordedLines(record).size() == 2; }));
        QStringList check;
        for (const QJsonValue &value : recordedLines(record).first().value("arguments").toArray())
            check << value.toString();
        QVERIFY2(check.contains("-c"), qPrintable(check.join(' ')));
        QTest::qWait(1500);
        QVERIFY2(!serviceErrors().contains("Listening on"), serviceErrors().constData());
    }

private:
    // What the service made is its user's alone: folders 0700, files 0600
    // (the data folder, the job folder, the job and result files, the queue
    // backup). Unix permissions only.
    void checkPrivateModes(const QString &dataFolder, const QString &jobFolder)
    {
#ifdef Q_OS_UNIX
        const QFile::Permissions folder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        const QFile::Permissions file = QFile::ReadOwner | QFile::WriteOwner;
        const auto mode = [](const QString &path) {
            return QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        };
        QVERIFY(!jobFolder.isEmpty());
        QCOMPARE(mode(dataFolder), folder);
        QCOMPARE(mode(dataFolder + "/JOBS"), folder);
        QCOMPARE(mode(jobFolder), folder);
        QCOMPARE(mode(jobFolder + "/order.aex"), file);
        QCOMPARE(mode(jobFolder + "/order.aex_RES"), file);
        int backups = 0;
        QDirIterator it(dataFolder, {"JOB_LIST.BAK"}, QDir::Files, QDirIterator::Subdirectories);
        for (; it.hasNext(); ++backups)
            QCOMPARE(mode(it.next()), file);
        QCOMPARE(backups, 1);
#else
        Q_UNUSED(dataFolder)
        Q_UNUSED(jobFolder)
#endif
    }

    void writeSettings(const QString &language)
    {
        QFile conf(root->filePath("config/Orvane/Zendral.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // The port is any free one (ZENDRAL_TEST_ANY_PORT), read from the
        // service's standard error once it listens.
        QByteArray text = "[config]\npick_job_interval=1\n\n[worker]\nengine=" ZENDRAL_STUB_ENGINE_PATH "\n";
        if (!language.isEmpty())
            text = "[General]\nlanguage=" + language.toUtf8() + "\n\n" + text;
        conf.write(text);
    }

    void startService(const QStringList &arguments, const QList<QPair<QByteArray, QByteArray>> &extra)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", root->filePath("home"));
        env.insert("XDG_CONFIG_HOME", root->filePath("config"));
        env.insert("XDG_DATA_HOME", root->filePath("data"));
        env.insert("TMPDIR", root->filePath("tmp"));
        env.insert("ZENDRAL_PROBE_HOST", "127.0.0.1");
        env.insert("ZENDRAL_TEST_ANY_PORT", "1");
        for (const auto &pair : extra)
            env.insert(QString::fromLatin1(pair.first), QString::fromLocal8Bit(pair.second));
        QDir(root->path()).mkpath("home");
        QDir(root->path()).mkpath("tmp");
        service.reset(new QProcess);
        service->setProcessEnvironment(env);
        service->setProcessChannelMode(QProcess::ForwardedOutputChannel);
        port = 0;
        errorsFrom = QFileInfo(errorLog()).size();
        service->setStandardErrorFile(errorLog(), QIODevice::Append);
        service->start(program, arguments);
        QVERIFY(service->waitForStarted(10000));
    }

    // Kills the service hard, and the engines it left behind.
    void stopService()
    {
        if (!service)
            return;
        const QList<qint64> engines = childrenOf(service->processId());
        service->kill();
        service->waitForFinished(10000);
#ifdef Q_OS_UNIX
        for (qint64 pid : engines)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
#endif
        service.reset();
    }

    QString errorLog() const { return root->filePath("service-stderr.log"); }

    // What the service started last wrote to standard error so far.
    QByteArray serviceErrors() const
    {
        QFile file(errorLog());
        if (!file.open(QIODevice::ReadOnly) || !file.seek(errorsFrom))
            return QByteArray();
        return file.readAll();
    }

    // Waits until the service says on which port it listens, then connects
    // there. A service that ended or could not listen fails at once.
    bool connectWithRetry(Client &client)
    {
        static const QRegularExpression listening(QStringLiteral("Listening on 0\\.0\\.0\\.0:(\\d+)"));
        if (port == 0) {
            const bool found = pollUntil([&] {
                const QRegularExpressionMatch match = listening.match(QString::fromUtf8(serviceErrors()));
                port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
                return port != 0 || service->state() != QProcess::Running || serviceErrors().contains("Cannot listen");
            }, 60000);
            if (!found || port == 0) {
                qWarning("%s", serviceErrors().constData());
                return false;
            }
        }
        return client.connectTo(port);
    }

    QString addJob(Client &client, const QString &name)
    {
        const QJsonObject request{{"job_name", name},
                                  {"work_data", QString::fromLatin1(MarkerDocument.toBase64())},
                                  {"time", 5}};
        bool state = false;
        QString content;
        if (!client.request("ADD_NESTER_JOB", QJsonDocument(request).toJson(QJsonDocument::Compact), state, content)
            || !state)
            return QString();
        return content;
    }

    // Folders under the service's data folder that hold a file of this name.
    QStringList jobFolders(const QString &fileName) const
    {
        QStringList folders;
        QDirIterator it(root->filePath("data"), {fileName}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            folders << QFileInfo(it.next()).absolutePath();
        return folders;
    }

    static QList<QJsonObject> recordedLines(const QString &path)
    {
        QList<QJsonObject> lines;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.trimmed().isEmpty())
                lines << QJsonDocument::fromJson(line).object();
        return lines;
    }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> service;
    QString program;
    quint16 port = 0;       // the running service's, once it said so
    qint64 errorsFrom = 0;  // where its lines start in the error log
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
