// zendralctl against a running zendrald with the stand-in engine: every
// job of every client address listed with all its members; hold of a
// waiting and of a running job, release, hold until a time; pause drains
// and resume starts again; retry of a failed job; move and remove by id
// prefix; the hold and the pause after kill -9 and a restart (the stale
// socket replaced); the socket closed to others; the channel's limits.
#include "ProtocolTestClient.h"
#include "TestProcesses.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace Orvane::Zendral;
using TestProcesses::pollUntil;

namespace {

const QByteArray MarkerDocument =
    "<?xml version=\"1.0\"?><MARKER_DOCUMENT><HEADER/><MARKER><PIECE/></MARKER></MARKER_DOCUMENT>";

struct CtlRun
{
    int code = -1;
    QString out;
    QString err;
};

} // namespace

class TestZendralctl : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        program = TestProcesses::copyService(root->path(), QStringLiteral(ZENDRALD_PATH));
        QVERIFY(!program.isEmpty());
        socket = root->filePath(QStringLiteral("admin"));
        config = root->filePath(QStringLiteral("zendrald.conf"));
        settings.clear();
        settings.insert(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        settings.insert(QStringLiteral("worker/retry_delay_seconds"), QStringLiteral("0"));
        settings.insert(QStringLiteral("config/pick_job_interval"), QStringLiteral("1"));
        settings.insert(QStringLiteral("admin/socket"), socket);
        settings.insert(QStringLiteral("maxWorkerCount"), QStringLiteral("1"));
        engineEnv.clear();
    }

    void cleanup()
    {
        stopWatch();
        stopService();
        root.reset();
    }

    // Jobs of two client addresses are both listed, with exactly the
    // members the operator's tools give; the filters pick; the socket file
    // gives others no access.
    void listsEveryClientsJobs()
    {
        settings.insert(QStringLiteral("maxWorkerCount"), QStringLiteral("0")); // queue only
        QVERIFY(startService());
        const QString first = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("Spring::Shirt"), 7);
        const QString second = addJob(QStringLiteral("127.0.0.2"), QStringLiteral("Autumn::Coat"), 9);
        QVERIFY(!first.isEmpty() && !second.isEmpty());

        const QJsonArray all = jobs();
        QCOMPARE(all.size(), 2);
        const QSet<QString> members{"id", "work", "name", "client", "state", "position", "budget", "progress",
                                    "efficiency", "submitted", "started", "failed_runs", "error", "held_until", "node"};
        for (const QJsonValue &value : all) {
            const QStringList keys = value.toObject().keys();
            QCOMPARE(QSet<QString>(keys.begin(), keys.end()), members);
        }
        const QJsonObject coat = all.at(1).toObject();
        QCOMPARE(coat.value("id").toString(), second);
        QCOMPARE(coat.value("client").toString(), QStringLiteral("127.0.0.2"));
        QCOMPARE(coat.value("work").toString(), QStringLiteral("Autumn"));
        QCOMPARE(coat.value("name").toString(), QStringLiteral("Coat"));
        QCOMPARE(coat.value("state").toString(), QStringLiteral("waiting"));
        QCOMPARE(coat.value("position").toInt(), 2);
        QCOMPARE(coat.value("budget").toInt(), 9);
        QVERIFY(QDateTime::fromString(coat.value("submitted").toString(), Qt::ISODate).isValid());
        QCOMPARE(all.at(0).toObject().value("client").toString(), QStringLiteral("127.0.0.1"));

        QCOMPARE(jobs({"--client", "127.0.0.2"}).size(), 1);
        QCOMPARE(jobs({"--state", "waiting"}).size(), 2);
        QCOMPARE(jobs({"--state", "running"}).size(), 0);
        QCOMPARE(ctl({"jobs", "--state", "lost"}).code, 1);
        const CtlRun table = ctl({"jobs"});
        QCOMPARE(table.code, 0);
        QVERIFY2(table.out.contains("127.0.0.2") && table.out.contains("Shirt") && table.out.contains("Coat"),
                 qPrintable(table.out));

#ifdef Q_OS_UNIX
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(socket).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        // The service's user and group may open it (zendrald's umask alone
        // would shut the group out), others may not.
        QCOMPARE(int(info.st_mode & S_IRWXO), 0);
        QCOMPARE(int(info.st_mode & (S_IRWXU | S_IRWXG)), int(S_IRWXU | S_IRWXG));
#endif
    }

    // The channel's limits: an endless request line is refused and its
    // connection closed; the service goes on serving.
    void refusesAnOverlongLine()
    {
        QVERIFY(startService());
        QLocalSocket raw;
        raw.connectToServer(socket);
        QVERIFY(raw.waitForConnected(5000));
        raw.write(QByteArray(70 * 1024, 'x'));
        QVERIFY(pollUntil([&] {
            raw.waitForReadyRead(10);
            return raw.canReadLine() || raw.state() == QLocalSocket::UnconnectedState;
        }, 10000));
        const QJsonObject reply = QJsonDocument::fromJson(raw.readLine()).object();
        QCOMPARE(reply.value("ok").toBool(true), false);
        QVERIFY2(reply.value("error").toString().contains("longer"), qPrintable(reply.value("error").toString()));
        QVERIFY(pollUntil([&] { return raw.state() == QLocalSocket::UnconnectedState || !raw.waitForReadyRead(10); }, 5000));
        QCOMPARE(ctl({"status"}).code, 0);
    }

    // A held waiting job keeps out of the engine while others run; a held
    // running job has its engine stopped and no failure counted; release
    // lets them run. watch reports the changes.
    void holdsWaitingAndRunningJobs()
    {
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("300"));
        QVERIFY(startService());
        startWatch();
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 8);
        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 3);
        const QString c = addJob(QStringLiteral("127.0.0.2"), QStringLiteral("W::C"), 3);
        QVERIFY(waitState(a, "running"));
        QCOMPARE(ctl({"hold", prefix(b)}).code, 0);
        QCOMPARE(job(b).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(job(b).value("position").toInt(), 0);

        QVERIFY(pollUntil([&] { return !TestProcesses::childrenOf(service->processId()).isEmpty(); }));
        const QList<qint64> engines = TestProcesses::childrenOf(service->processId());
        QCOMPARE(ctl({"hold", prefix(a)}).code, 0);
        QVERIFY2(pollUntil([&] {
            for (qint64 pid : engines)
                if (TestProcesses::isAlive(pid))
                    return false;
            return true;
        }), "the held job's engine still runs");
        QVERIFY(waitState(c, "finished"));
        QCOMPARE(job(a).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(job(a).value("failed_runs").toInt(), 0);
        QCOMPARE(job(b).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(ctl({"hold", prefix(c)}).code, 1); // finished: refused

        QCOMPARE(ctl({"release", prefix(b)}).code, 0);
        QVERIFY(waitState(b, "finished"));
        QCOMPARE(job(a).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(ctl({"release", prefix(b)}).code, 1); // not held
        QCOMPARE(ctl({"release", prefix(a)}).code, 0);
        QVERIFY(waitState(a, "running"));

        QVERIFY(pollUntil([&] { return watchEvents(b).contains("finished"); }, 10000));
        const QStringList ofB = watchEvents(b);
        QVERIFY2(ofB.indexOf("held") >= 0 && ofB.indexOf("held") < ofB.indexOf("released")
                     && ofB.indexOf("released") < ofB.indexOf("started"),
                 qPrintable(ofB.join(',')));
        QVERIFY2(watchEvents(c).contains("progress"), qPrintable(watchEvents(c).join(',')));
        QVERIFY2(watchEvents(a).contains("held"), qPrintable(watchEvents(a).join(',')));
    }

    // The events follow the queue only while someone watches: a job added
    // before the watch began is followed from its state then, and a watch
    // that comes after the last one left follows again.
    void watchFollowsJobsFromBeforeIt()
    {
        settings.insert(QStringLiteral("maxWorkerCount"), QStringLiteral("0")); // queue only
        QVERIFY(startService());
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 5);
        QVERIFY(!a.isEmpty());
        QCOMPARE(ctl({"hold", prefix(a)}).code, 0);

        startWatch();
        QVERIFY(watchIsOn());
        QCOMPARE(ctl({"release", prefix(a)}).code, 0);
        QVERIFY(pollUntil([&] { return !watchEvents(a).isEmpty(); }, 10000));
        QCOMPARE(watchEvents(a), QStringList{QStringLiteral("released")});
        stopWatch();
        watched.clear();

        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 5);
        startWatch();
        QVERIFY(watchIsOn());
        QCOMPARE(ctl({"hold", prefix(b)}).code, 0);
        QVERIFY(pollUntil([&] { return !watchEvents(b).isEmpty(); }, 10000));
        QCOMPARE(watchEvents(b), QStringList{QStringLiteral("held")});
    }

    // A hold until a few seconds ahead ends by itself at that time; one in
    // the past is refused; a text that is no time is a usage error.
    void holdUntilEndsByItself()
    {
        settings.insert(QStringLiteral("maxWorkerCount"), QStringLiteral("1"));
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("100"));
        QVERIFY(startService());
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 2);
        const QDateTime until = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + 4);
        QCOMPARE(ctl({"hold", prefix(a), "--until", until.toString(Qt::ISODate)}).code, 0);
        QCOMPARE(job(a).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(QDateTime::fromString(job(a).value("held_until").toString(), Qt::ISODate), until);
        QVERIFY(waitState(a, "finished", 30000));
        const QDateTime started = QDateTime::fromString(job(a).value("started").toString(), Qt::ISODate);
        QVERIFY2(started >= until.addSecs(-1), qPrintable(started.toString(Qt::ISODate)));
        QCOMPARE(job(a).value("held_until").toString(), QString());

        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 2);
        QCOMPARE(ctl({"hold", prefix(b), "--until", "2001-01-01 10:00"}).code, 1);
        QCOMPARE(ctl({"hold", prefix(b), "--until", "tomorrow"}).code, 2);
    }

    // Pause: the running job goes to its end, no new one starts while jobs
    // wait; resume starts them. A running job removed has its engine stopped.
    void pauseDrainsAndResumes()
    {
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("300"));
        QVERIFY(startService());
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 3);
        QVERIFY(waitState(a, "running"));
        QCOMPARE(ctl({"pause"}).code, 0);
        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 3);
        QVERIFY(waitState(a, "finished"));
        // Several pick intervals (1 s) pass; b must still wait.
        QVERIFY(!pollUntil([&] { return job(b).value("state").toString() != QLatin1String("waiting"); }, 3000));
        const QJsonObject status = statusJson();
        QCOMPARE(status.value("paused").toBool(), true);
        QCOMPARE(status.value("slots_busy").toInt(), 0);
        QCOMPARE(status.value("jobs").toObject().value("waiting").toInt(), 1);
        QCOMPARE(ctl({"resume"}).code, 0);
        QVERIFY(waitState(b, "running"));

        QVERIFY(pollUntil([&] { return !TestProcesses::childrenOf(service->processId()).isEmpty(); }));
        const QList<qint64> engines = TestProcesses::childrenOf(service->processId());
        QCOMPARE(ctl({"remove", prefix(a), prefix(b)}).code, 0);
        QVERIFY2(pollUntil([&] { return jobs().isEmpty(); }), qPrintable(ctl({"jobs"}).out));
        QVERIFY(pollUntil([&] {
            for (qint64 pid : engines)
                if (TestProcesses::isAlive(pid))
                    return false;
            return true;
        }));
    }

    // A failed job is retried: waiting at the tail, its failures forgotten;
    // a job that has not failed is not.
    void retriesAFailedJob()
    {
        settings.insert(QStringLiteral("worker/max_failed_runs"), QStringLiteral("1"));
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("50"));
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_EXIT"), QStringLiteral("3"));
        QVERIFY(startService());
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 1);
        QVERIFY(waitState(a, "failed"));
        QCOMPARE(job(a).value("failed_runs").toInt(), 1);
        QCOMPARE(ctl({"pause"}).code, 0);
        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 1);
        const CtlRun notFailed = ctl({"retry", prefix(b)});
        QCOMPARE(notFailed.code, 1);
        QVERIFY2(notFailed.err.contains("only a failed job"), qPrintable(notFailed.err));
        QCOMPARE(ctl({"retry", prefix(a)}).code, 0);
        const QJsonArray all = jobs();
        QCOMPARE(all.last().toObject().value("id").toString(), a); // at the tail
        QCOMPARE(all.last().toObject().value("state").toString(), QStringLiteral("waiting"));
        QCOMPARE(all.last().toObject().value("failed_runs").toInt(), 0);
        QCOMPARE(all.last().toObject().value("position").toInt(), 2);
    }

    // Ids as unique beginnings: moved and removed by them; an ambiguous or
    // unknown one is refused with the reason and changes nothing.
    void movesAndRemovesByPrefix()
    {
        settings.insert(QStringLiteral("maxWorkerCount"), QStringLiteral("0"));
        QVERIFY(startService());
        QStringList ids;
        for (int i = 0; i < 17; ++i) // 17 ids: two share their first digit
            ids << addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::J%1").arg(i), 5);
        QVERIFY(!ids.contains(QString()));
        QString shared;
        QString unused;
        for (const QChar digit : QStringLiteral("0123456789abcdef")) {
            const int count = ids.filter(QRegularExpression(QStringLiteral("^\\{") + digit)).size();
            if (count > 1 && shared.isEmpty())
                shared = digit;
        }
        for (int i = 0; i < 256 && unused.isEmpty(); ++i) {
            const QString candidate = QStringLiteral("%1").arg(i, 2, 16, QLatin1Char('0'));
            if (ids.filter(QRegularExpression(QStringLiteral("^\\{") + candidate)).isEmpty())
                unused = candidate;
        }
        QVERIFY(!shared.isEmpty() && !unused.isEmpty());
        const CtlRun ambiguous = ctl({"remove", shared});
        QCOMPARE(ambiguous.code, 1);
        QVERIFY2(ambiguous.err.contains("ambiguous"), qPrintable(ambiguous.err));
        const CtlRun unknown = ctl({"remove", prefix(ids.at(0)), unused});
        QCOMPARE(unknown.code, 1);
        QVERIFY2(unknown.err.contains(unused), qPrintable(unknown.err));
        QCOMPARE(jobs().size(), 17); // nothing removed

        QCOMPARE(ctl({"move", prefix(ids.last()).toUpper(), "top"}).code, 0);
        QCOMPARE(jobs().first().toObject().value("id").toString(), ids.last());
        QCOMPARE(ctl({"move", ids.first(), "bottom"}).code, 0); // the full id, braces and all
        QCOMPARE(jobs().last().toObject().value("id").toString(), ids.first());
        QCOMPARE(ctl({"move", prefix(ids.last()), "up"}).code, 1); // already at the top
        QCOMPARE(ctl({"move", prefix(ids.last()), "sideways"}).code, 2);

        QCOMPARE(ctl({"remove", prefix(ids.at(1)), prefix(ids.at(2))}).code, 0);
        const QJsonArray left = jobs();
        QCOMPARE(left.size(), 15);
        for (const QJsonValue &value : left)
            QVERIFY(value.toObject().value("id") != ids.at(1) && value.toObject().value("id") != ids.at(2));
    }

    // kill -9 and a restart: the hold (with its time) and the pause are
    // kept; the socket file the killed service left is replaced.
    void holdAndPauseSurviveAKill()
    {
        engineEnv.insert(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("100"));
        QVERIFY(startService());
        QCOMPARE(ctl({"pause"}).code, 0);
        const QString a = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::A"), 2);
        const QString b = addJob(QStringLiteral("127.0.0.1"), QStringLiteral("W::B"), 2);
        const QString until = QDateTime::currentDateTime().addDays(1).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        QCOMPARE(ctl({"hold", prefix(a), "--until", until}).code, 0);
        const QString heldUntil = job(a).value("held_until").toString();
        QVERIFY(!heldUntil.isEmpty());

        service->kill();
        QVERIFY(service->waitForFinished(10000));
        QVERIFY(QFileInfo::exists(socket)); // left behind
        QCOMPARE(ctl({"status"}).code, 3);
        QVERIFY(startService());
        QCOMPARE(statusJson().value("paused").toBool(), true);
        QCOMPARE(job(a).value("state").toString(), QStringLiteral("held"));
        QCOMPARE(job(a).value("held_until").toString(), heldUntil);
        QCOMPARE(job(b).value("state").toString(), QStringLiteral("waiting"));
        QCOMPARE(ctl({"resume"}).code, 0);
        QVERIFY(waitState(b, "finished"));
        QCOMPARE(job(a).value("state").toString(), QStringLiteral("held"));
    }

    // Usage errors and a service that is not there have their own codes;
    // the settings file names the socket when --socket does not.
    void exitCodes()
    {
        QCOMPARE(ctl({"frobnicate"}).code, 2);
        QCOMPARE(ctl({"move", "abc"}).code, 2);
        QCOMPARE(ctl({"status", "--until", "2030-01-01 10:00"}).code, 2);
        const CtlRun absent = ctl({"status"});
        QCOMPARE(absent.code, 3);
        QVERIFY2(absent.err.contains(socket), qPrintable(absent.err));
        QVERIFY(startService());
        QProcess run;
        run.start(QStringLiteral(ZENDRALCTL_PATH), {"--config", config, "--json", "status"});
        QVERIFY(run.waitForFinished(20000));
        QCOMPARE(run.exitCode(), 0);
        QVERIFY(QJsonDocument::fromJson(run.readAllStandardOutput()).object().contains("slots_total"));
    }

private:
    bool startService()
    {
        {
            QSettings file(config, QSettings::IniFormat);
            for (auto it = settings.cbegin(); it != settings.cend(); ++it)
                file.setValue(it.key(), it.value());
            file.sync();
            if (file.status() != QSettings::NoError)
                return false;
        }
        QProcessEnvironment env = TestProcesses::serviceEnvironment(QDir(root->path()), engineEnv);
        env.insert(QStringLiteral("ZENDRAL_TEST_ANY_PORT"), QStringLiteral("1"));
        const QString log = root->filePath(QStringLiteral("service.log"));
        const qint64 from = QFileInfo(log).size();
        service.reset(new QProcess);
        service->setProcessEnvironment(env);
        service->setStandardOutputFile(log, QIODevice::Append);
        service->setStandardErrorFile(log, QIODevice::Append);
        service->start(program, {QStringLiteral("--config"), config});
        if (!service->waitForStarted(10000))
            return false;
        static const QRegularExpression listening(QStringLiteral("Listening on 0\\.0\\.0\\.0:(\\d+)"));
        port = 0;
        const bool up = pollUntil([&] {
            QFile read(log);
            if (!read.open(QIODevice::ReadOnly) || !read.seek(from))
                return false;
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(read.readAll()));
            port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
            return port != 0 || service->state() != QProcess::Running;
        });
        if (!up || port == 0) {
            QFile read(log);
            read.open(QIODevice::ReadOnly);
            qWarning("%s", read.readAll().constData());
        }
        return up && port != 0;
    }

    void stopService()
    {
        if (!service)
            return;
        const QList<qint64> engines = TestProcesses::childrenOf(service->processId());
        service->kill();
        service->waitForFinished(10000);
        for (qint64 pid : engines)
            QProcess::execute(QStringLiteral("kill"), {QStringLiteral("-9"), QString::number(pid)});
        service.reset();
    }

    QString addJob(const QString &from, const QString &name, int seconds)
    {
        ProtocolTestClient client;
        if (!client.Open(port, QHostAddress(from)))
            return QString();
        const QJsonObject request{{"job_name", QString::fromLatin1(name.toUtf8().toBase64(QByteArray::Base64UrlEncoding))},
                                  {"work_data", QString::fromLatin1(MarkerDocument.toBase64())},
                                  {"time", seconds}};
        const auto answer = client.Request("ADD_NESTER_JOB", QJsonDocument(request).toJson(QJsonDocument::Compact));
        return answer.ok && answer.state ? answer.content : QString();
    }

    CtlRun ctl(const QStringList &arguments)
    {
        QProcess run;
        run.start(QStringLiteral(ZENDRALCTL_PATH), QStringList{"--socket", socket} + arguments);
        CtlRun result;
        if (!run.waitForFinished(30000)) {
            run.kill();
            run.waitForFinished(5000);
            return result;
        }
        result.code = run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1;
        result.out = QString::fromUtf8(run.readAllStandardOutput());
        result.err = QString::fromUtf8(run.readAllStandardError());
        return result;
    }

    QJsonArray jobs(const QStringList &filters = {})
    {
        const CtlRun run = ctl(QStringList{"--json", "jobs"} + filters);
        return QJsonDocument::fromJson(run.out.toUtf8()).object().value("jobs").toArray();
    }

    QJsonObject job(const QString &id)
    {
        for (const QJsonValue &value : jobs())
            if (value.toObject().value("id").toString() == id)
                return value.toObject();
        return QJsonObject();
    }

    QJsonObject statusJson()
    {
        return QJsonDocument::fromJson(ctl({"--json", "status"}).out.toUtf8()).object();
    }

    bool waitState(const QString &id, const char *state, int ms = 30000)
    {
        const bool reached = pollUntil([&] { return job(id).value("state").toString() == QLatin1String(state); }, ms);
        if (!reached)
            qWarning() << "job" << id << "is" << job(id) << "not" << state;
        return reached;
    }

    // The id's first six digits, without the brace.
    static QString prefix(const QString &id) { return id.mid(1, 6); }

    void startWatch()
    {
        watch.reset(new QProcess);
        watch->start(QStringLiteral(ZENDRALCTL_PATH), {"--socket", socket, "--json", "watch"});
        QVERIFY(watch->waitForStarted(10000));
    }

    void stopWatch()
    {
        if (!watch)
            return;
        watch->kill();
        watch->waitForFinished(5000);
        watch.reset();
    }

    // Pauses and resumes until the watch shows it: the watch started
    // receives events from then on.
    bool watchIsOn()
    {
        return pollUntil([&] {
            if (ctl({"pause"}).code != 0 || ctl({"resume"}).code != 0)
                return false;
            return watchEvents(QString()).contains("resumed");
        }, 10000);
    }

    // The events watch printed so far for one job, in order.
    QStringList watchEvents(const QString &id)
    {
        watched += watch->readAllStandardOutput();
        QStringList names;
        for (const QByteArray &line : watched.split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("id").toString() == id)
                names << event.value("event").toString();
        }
        return names;
    }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> service;
    std::unique_ptr<QProcess> watch;
    QByteArray watched;
    QMap<QString, QString> settings;
    QMap<QString, QString> engineEnv;
    QString program;
    QString socket;
    QString config;
    quint16 port = 0;
};

QTEST_GUILESS_MAIN(TestZendralctl)
#include "tst_zendralctl.moc"
