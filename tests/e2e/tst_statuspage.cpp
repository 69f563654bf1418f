// The status page and metrics of a running zendrald (with the stand-in
// engine, on free loopback ports): each path's status and content type;
// /api/jobs and /api/status with the operator tools' members and agreeing
// with each other and with /metrics; /metrics read by a strict parser of the
// text format 0.0.4, its counters only growing across runs; /healthz turning
// 503 while the jobs folder takes no files and 200 after; an address outside
// http/allowed_clients refused; the default address 127.0.0.1 only; a port in
// use logged while the queue goes on.
#include "TestProcesses.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

using TestProcesses::freePort;
using TestProcesses::pollUntil;

namespace {

struct Reply
{
    int status = 0; // 0: no answer (refused, closed)
    QByteArray contentType;
    QByteArray body;
};

// One HTTP/1.1 request over a plain socket, optionally from a chosen local
// address; the server closes the connection after its reply.
Reply Fetch(quint16 port, const QByteArray &path, const QByteArray &method = "GET",
            const QString &from = QString(), const QString &to = QStringLiteral("127.0.0.1"))
{
    Reply reply;
    QTcpSocket socket;
    if (!from.isEmpty() && !socket.bind(QHostAddress(from)))
        return reply;
    socket.connectToHost(to, port);
    if (!socket.waitForConnected(5000))
        return reply;
    socket.write(method + ' ' + path + " HTTP/1.1\r\nHost: zendral\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    QByteArray data;
    for (int i = 0; i < 200 && socket.state() == QAbstractSocket::ConnectedState; ++i) {
        socket.waitForReadyRead(50);
        data += socket.readAll();
    }
    data += socket.readAll();
    const int split = data.indexOf("\r\n\r\n");
    if (!data.startsWith("HTTP/1.1 ") || split < 0)
        return reply;
    reply.status = data.mid(9, 3).toInt();
    for (const QByteArray &line : data.left(split).split('\n'))
        if (line.toLower().startsWith("content-type:"))
            reply.contentType = line.mid(13).trimmed();
    reply.body = data.mid(split + 4);
    return reply;
}

// A strict reader of the Prometheus text format 0.0.4: every line is a
// HELP, a TYPE or a sample of a family whose TYPE came before; names, label
// names, escapes and numbers as the format allows; a histogram's buckets
// cumulative with le, the +Inf bucket equal to _count. Sample keys are
// "name{labels}" as written.
struct Metrics
{
    QMap<QString, double> samples;
    QMap<QString, QString> types; // family -> type
    QString error;                // empty when every line is valid

    double value(const QString &key) const { return samples.value(key, std::nan("")); }

    static bool ParseNumber(const QString &text, double *value)
    {
        if (text == QLatin1String("+Inf") || text == QLatin1String("Inf")) {
            *value = INFINITY;
            return true;
        }
        if (text == QLatin1String("-Inf")) {
            *value = -INFINITY;
            return true;
        }
        if (text == QLatin1String("NaN")) {
            *value = NAN;
            return true;
        }
        static const QRegularExpression number(QStringLiteral("^[-+]?(\\d+\\.?\\d*|\\.\\d+)([eE][-+]?\\d+)?$"));
        if (!number.match(text).hasMatch())
            return false;
        *value = text.toDouble();
        return true;
    }

    static Metrics Parse(const QByteArray &text)
    {
        Metrics m;
        static const QRegularExpression help(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)$"));
        static const QRegularExpression type(
            QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"));
        static const QRegularExpression sample(QStringLiteral(
            "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{((?:[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\[\\\\\"n])*\",?)*)\\})? "
            "(\\S+)( -?\\d+)?$"));
        static const QRegularExpression label(QStringLiteral("([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\]|\\\\.)*)\""));
        if (!text.endsWith('\n'))
            m.error = QStringLiteral("no line feed at the end");
        QSet<QString> helped;
        QMap<QString, double> lastBucket; // histogram series -> last cumulative count
        const QList<QByteArray> lines = text.split('\n');
        for (int i = 0; i + 1 < lines.size() && m.error.isEmpty(); ++i) {
            const QString line = QString::fromUtf8(lines.at(i));
            auto fail = [&](const QString &why) { m.error = QStringLiteral("line %1: %2: %3").arg(i + 1).arg(why, line); };
            if (line.startsWith(QLatin1String("# HELP "))) {
                const auto match = help.match(line);
                if (!match.hasMatch() || helped.contains(match.captured(1)))
                    fail(QStringLiteral("bad or repeated HELP"));
                helped << match.captured(1);
                continue;
            }
            if (line.startsWith(QLatin1Char('#'))) {
                const auto match = type.match(line);
                if (!match.hasMatch() || m.types.contains(match.captured(1)))
                    fail(QStringLiteral("bad or repeated TYPE"));
                m.types.insert(match.captured(1), match.captured(2));
                continue;
            }
            const auto match = sample.match(line);
            double number = 0;
            if (!match.hasMatch() || !ParseNumber(match.captured(4), &number)) {
                fail(QStringLiteral("not a sample"));
                continue;
            }
            const QString name = match.captured(1);
            QString family = name;
            for (const char *suffix : {"_bucket", "_sum", "_count"})
                if (name.endsWith(QLatin1String(suffix))
                    && m.types.value(name.left(name.size() - int(qstrlen(suffix)))) == QLatin1String("histogram"))
                    family = name.left(name.size() - int(qstrlen(suffix)));
            if (!m.types.contains(family)) {
                fail(QStringLiteral("sample before its TYPE"));
                continue;
            }
            if (m.types.value(family) == QLatin1String("counter") && (!name.endsWith(QLatin1String("_total")) || number < 0))
                fail(QStringLiteral("a counter not named _total or negative"));
            QString le;
            QStringList others;
            auto labels = label.globalMatch(match.captured(3));
            while (labels.hasNext()) {
                const auto pair = labels.next();
                if (pair.captured(1) == QLatin1String("le"))
                    le = pair.captured(2);
                else
                    others << pair.captured(0);
            }
            const QString series = family + QLatin1Char('{') + others.join(QLatin1Char(',')) + QLatin1Char('}');
            if (name == family + QLatin1String("_bucket") && family != name) {
                double bound = 0;
                if (le.isEmpty() || !ParseNumber(le, &bound) || number < lastBucket.value(series, 0))
                    fail(QStringLiteral("a bucket without le, or not cumulative"));
                lastBucket.insert(series, number);
                if (std::isinf(bound))
                    lastBucket.insert(series + QLatin1String("+Inf"), number);
            }
            if (name == family + QLatin1String("_count") && family != name
                && lastBucket.value(series + QLatin1String("+Inf"), -1) != number)
                fail(QStringLiteral("_count is not the +Inf bucket"));
            const QString key = name + (match.captured(2).isEmpty() ? QString() : match.captured(2));
            if (m.samples.contains(key))
                fail(QStringLiteral("repeated sample"));
            m.samples.insert(key, number);
        }
        return m;
    }
};

const QStringList JobMembers{"id", "work", "name", "client", "state", "position", "budget", "progress", "efficiency",
                             "submitted", "started", "failed_runs", "error", "held_until", "node"};
const QStringList StatusMembers{"version", "node", "address", "port", "listening", "paused",
                                "slots_busy", "slots_total", "jobs", "uptime"};
const QStringList States{"waiting", "held", "running", "finished", "failed"};

QJsonObject Json(const Reply &reply)
{
    return QJsonDocument::fromJson(reply.body).object();
}

} // namespace

class TestStatusPage : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        program = TestProcesses::copyService(root->path(), QStringLiteral(ZENDRALD_PATH));
        QVERIFY(!program.isEmpty());
        port = freePort();
        httpPort = freePort();
        QVERIFY(port != 0 && httpPort != 0 && port != httpPort);
        QFile document(root->filePath(QStringLiteral("order.aex")));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.write("<?xml version=\"1.0\"?><MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>");
    }

    void cleanup()
    {
        if (service) {
            service->kill();
            service->waitForFinished(10000);
            service.reset();
        }
        errors.clear();
        root.reset();
    }

    // Each path answers with its type; anything but GET is refused; the
    // server listens on 127.0.0.1 only by default.
    void pathsAndContentTypes()
    {
        QVERIFY(Start({}));
        // Healthy once the listener's state is published (at once, normally).
        QVERIFY(pollUntil([&] { return Fetch(httpPort, "/healthz").status == 200; }, 5000));
        const QList<QPair<QByteArray, QByteArray>> paths{
            {"/", "text/html"}, {"/status.js", "text/javascript"}, {"/status.css", "text/css"},
            {"/api/status", "application/json"}, {"/api/jobs", "application/json"},
            {"/metrics", "text/plain; version=0.0.4"}, {"/healthz", "text/plain"}};
        for (const auto &path : paths) {
            const Reply reply = Fetch(httpPort, path.first);
            QVERIFY2(reply.status == 200, path.first.constData());
            QVERIFY2(reply.contentType.startsWith(path.second), reply.contentType.constData());
            QVERIFY2(!reply.body.isEmpty(), path.first.constData());
        }
        QCOMPARE(Fetch(httpPort, "/healthz").body, QByteArray("ok\n"));
        QCOMPARE(Fetch(httpPort, "/nothing").status, 404);
        QCOMPARE(Fetch(httpPort, "/api/jobs", "POST").status, 405);
        QCOMPARE(Fetch(httpPort, "/", "DELETE").status, 405);
        // Default http/listen: nothing answers on another loopback address.
        QCOMPARE(Fetch(httpPort, "/healthz", "GET", QString(), QStringLiteral("127.0.0.2")).status, 0);
    }

    // Jobs added and run: /api/jobs lists them in queue order with the
    // operator tools' members; /api/status and /metrics count the same; the
    // metrics stay valid and their counters only grow.
    void jobsStatusAndMetricsAgree()
    {
        QVERIFY(Start({}));
        const Metrics before = Metrics::Parse(Fetch(httpPort, "/metrics").body);
        QVERIFY2(before.error.isEmpty(), qPrintable(before.error));
        for (const char *name : {"zendral_jobs", "zendral_jobs_added_total", "zendral_runs_started_total",
                                 "zendral_runs_failed_total", "zendral_runs_finished_total",
                                 "zendral_run_duration_seconds", "zendral_client_sessions",
                                 "zendral_store_commit_seconds", "zendral_engine_slots", "zendral_paused",
                                 "zendral_build_info", "zendral_oldest_waiting_seconds"})
            QVERIFY2(before.types.contains(QLatin1String(name)), name);
        const QString version = Json(Fetch(httpPort, "/api/status")).value(QLatin1String("version")).toString();
        QVERIFY(!version.isEmpty());
        QCOMPARE(before.value(QStringLiteral("zendral_build_info{version=\"%1\"}").arg(version)), 1.0);

        QStringList ids;
        for (int i = 0; i < 3; ++i)
            ids << Add(QStringLiteral("cut-%1").arg(i), 1);
        QVERIFY(ids.size() == 3 && !ids.contains(QString()));

        // All three finished (one slot: one after the other).
        QJsonArray jobs;
        QVERIFY(pollUntil([&] {
            jobs = Json(Fetch(httpPort, "/api/jobs")).value(QLatin1String("jobs")).toArray();
            return jobs.size() == 3 && jobs.at(2).toObject().value(QLatin1String("state")) == QLatin1String("finished");
        }, 30000));
        for (int i = 0; i < 3; ++i) {
            const QJsonObject job = jobs.at(i).toObject();
            QCOMPARE(job.keys(), [] { QStringList k = JobMembers; k.sort(); return k; }());
            QCOMPARE(job.value(QLatin1String("id")).toString(), ids.at(i));
            QCOMPARE(job.value(QLatin1String("name")).toString(), QStringLiteral("cut-%1").arg(i));
            QCOMPARE(job.value(QLatin1String("work")).toString(), QStringLiteral("Spring"));
            QCOMPARE(job.value(QLatin1String("client")).toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(job.value(QLatin1String("budget")).toInt(), 1);
            QVERIFY(pollUntil([&] {
                return Json(Fetch(httpPort, "/api/jobs")).value(QLatin1String("jobs")).toArray().at(i).toObject()
                           .value(QLatin1String("progress")).toDouble() == 100;
            }, 10000));
        }

        // The operator's tool lists the same jobs with the same members.
        const QJsonArray shown = Json(Fetch(httpPort, "/api/jobs")).value(QLatin1String("jobs")).toArray();
        QProcess ctl;
        ctl.start(QStringLiteral(ZENDRALCTL_PATH),
                  {"--socket", root->filePath(QStringLiteral("admin")), "--json", "jobs"});
        QVERIFY(ctl.waitForFinished(30000));
        QCOMPARE(ctl.exitCode(), 0);
        QCOMPARE(QJsonDocument::fromJson(ctl.readAllStandardOutput()).object().value(QLatin1String("jobs")).toArray(),
                 shown);

        const QJsonObject status = Json(Fetch(httpPort, "/api/status"));
        for (const QString &member : StatusMembers)
            QVERIFY2(status.contains(member), qPrintable(member));
        QCOMPARE(status.value(QLatin1String("port")).toInt(), int(port));
        QCOMPARE(status.value(QLatin1String("listening")).toBool(), true);
        QCOMPARE(status.value(QLatin1String("jobs")).toObject().value(QLatin1String("finished")).toInt(), 3);

        Metrics after;
        QVERIFY(pollUntil([&] {
            after = Metrics::Parse(Fetch(httpPort, "/metrics").body);
            return after.value(QStringLiteral("zendral_runs_finished_total")) == 3;
        }, 10000));
        QVERIFY2(after.error.isEmpty(), qPrintable(after.error));
        const QJsonObject counts = Json(Fetch(httpPort, "/api/status")).value(QLatin1String("jobs")).toObject();
        for (const QString &state : States)
            QCOMPARE(after.value(QStringLiteral("zendral_jobs{state=\"%1\"}").arg(state)),
                     counts.value(state).toDouble());
        QCOMPARE(after.value(QStringLiteral("zendral_jobs_added_total")), 3.0);
        QCOMPARE(after.value(QStringLiteral("zendral_runs_started_total")), 3.0);
        QCOMPARE(after.value(QStringLiteral("zendral_runs_failed_total")), 0.0);
        QCOMPARE(after.value(QStringLiteral("zendral_run_duration_seconds_count")), 3.0);
        QVERIFY(after.value(QStringLiteral("zendral_store_commit_seconds_count")) >= 3);
        QCOMPARE(after.value(QStringLiteral("zendral_engine_slots{kind=\"total\"}")), 1.0);
        // Counters (and histogram counts and sums) never go down.
        for (auto it = before.samples.cbegin(); it != before.samples.cend(); ++it) {
            const QString family = it.key().section(QLatin1Char('{'), 0, 0);
            const bool grows = family.endsWith(QLatin1String("_total")) || family.endsWith(QLatin1String("_bucket"))
                               || family.endsWith(QLatin1String("_count")) || family.endsWith(QLatin1String("_sum"));
            if (grows)
                QVERIFY2(after.value(it.key()) >= it.value(), qPrintable(it.key()));
        }
    }

    // Failed runs count as failed, and the job that runs out of retries
    // as failed too; none as finished.
    void failedRunsAreCounted()
    {
        QVERIFY(Start({{"worker/max_failed_runs", 2}, {"worker/retry_delay_seconds", 0}},
                      {{"ZENDRAL_STUB_EXIT", "3"}}));
        QVERIFY(!Add(QStringLiteral("broken"), 1).isEmpty());
        Metrics metrics;
        QVERIFY(pollUntil([&] {
            metrics = Metrics::Parse(Fetch(httpPort, "/metrics").body);
            return metrics.value(QStringLiteral("zendral_jobs{state=\"failed\"}")) == 1;
        }, 30000));
        QVERIFY2(metrics.error.isEmpty(), qPrintable(metrics.error));
        QCOMPARE(metrics.value(QStringLiteral("zendral_runs_started_total")), 2.0);
        QCOMPARE(metrics.value(QStringLiteral("zendral_runs_failed_total")), 2.0);
        QCOMPARE(metrics.value(QStringLiteral("zendral_jobs_failed_total")), 1.0);
        QCOMPARE(metrics.value(QStringLiteral("zendral_runs_finished_total")), 0.0);
    }

    // With no engine slot the job waits, and the oldest waiting job's age
    // grows from its submit time.
    void oldestWaitingJobAges()
    {
        QVERIFY(Start({{"maxWorkerCount", 0}}));
        QCOMPARE(Metrics::Parse(Fetch(httpPort, "/metrics").body).value(QStringLiteral("zendral_oldest_waiting_seconds")), 0.0);
        QVERIFY(!Add(QStringLiteral("waits"), 1).isEmpty());
        QVERIFY(pollUntil([&] {
            return Metrics::Parse(Fetch(httpPort, "/metrics").body).value(QStringLiteral("zendral_oldest_waiting_seconds")) >= 1.5;
        }, 10000));
        const QJsonObject job = Json(Fetch(httpPort, "/api/jobs")).value(QLatin1String("jobs")).toArray().at(0).toObject();
        QCOMPARE(job.value(QLatin1String("state")).toString(), QStringLiteral("waiting"));
        QCOMPARE(job.value(QLatin1String("position")).toInt(), 1);
    }

    // /healthz follows the jobs folder: a directory where the probe file
    // goes makes every file creation there fail, as a read-only or full
    // folder would (chmod does not stop root, who runs the tests).
    void healthFollowsTheJobsFolder()
    {
        QVERIFY(Start({}));
        QVERIFY(pollUntil([&] { return Fetch(httpPort, "/healthz").status == 200; }, 5000));
        QString jobsFolder;
        QDirIterator folders(root->filePath(QStringLiteral("data")), {QStringLiteral("JOBS")}, QDir::Dirs,
                             QDirIterator::Subdirectories);
        if (folders.hasNext())
            jobsFolder = folders.next();
        QVERIFY(!jobsFolder.isEmpty());
        const QString probe = QDir(jobsFolder).filePath(QStringLiteral("ZENDRAL.HEALTH"));
        QVERIFY(QDir().mkpath(probe + QStringLiteral("/blocked")));
        Reply reply;
        QVERIFY(pollUntil([&] { reply = Fetch(httpPort, "/healthz"); return reply.status == 503; }, 5000));
        QVERIFY2(reply.body.contains("jobs folder not writable"), reply.body.constData());
        QVERIFY(reply.contentType.startsWith("text/plain"));
        QVERIFY(QDir(probe).removeRecursively());
        QVERIFY(pollUntil([&] { reply = Fetch(httpPort, "/healthz"); return reply.status == 200; }, 5000));
        QVERIFY2(reply.status == 200, reply.body.constData());
        QVERIFY(!QFile::exists(probe));
    }

    // Only the listed clients are served: 127.0.0.2 gets 403, 127.0.0.1 200.
    void refusesAddressesOutsideTheList()
    {
        QVERIFY(Start({{"http/allowed_clients", "127.0.0.1/32"}}));
        const Reply refused = Fetch(httpPort, "/api/jobs", "GET", QStringLiteral("127.0.0.2"));
        QCOMPARE(refused.status, 403);
        QVERIFY(!refused.body.contains("jobs"));
        QCOMPARE(Fetch(httpPort, "/metrics", "GET", QStringLiteral("127.0.0.2")).status, 403);
        QCOMPARE(Fetch(httpPort, "/api/jobs", "GET", QStringLiteral("127.0.0.1")).status, 200);
    }

    // A port taken by another program: logged, and the queue is served.
    void portInUseLeavesTheQueueRunning()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        httpPort = squatter.serverPort();
        QVERIFY(Start({}, {}, QStringLiteral("Status page: cannot listen on 127.0.0.1:%1").arg(httpPort)));
        QVERIFY(!Add(QStringLiteral("still-served"), 1).isEmpty());
    }

private:
    // Starts zendrald with the ports, the stand-in engine and `settings`;
    // waits for `expect` in its log (default: the status page's address),
    // then for the listener.
    // Starts the service; a port chosen as free that something else took
    // meanwhile (tests run side by side) is chosen anew, up to three times.
    bool Start(const QMap<QString, QVariant> &settings, const QMap<QString, QString> &environment = {},
               const QString &expect = QString())
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (StartOnce(settings, environment, expect))
                return true;
            const bool clientPortTaken = errors.contains(QStringLiteral("Cannot listen on port %1:").arg(port));
            const bool pagePortTaken = expect.isEmpty()
                && errors.contains(QStringLiteral("Status page: cannot listen on 127.0.0.1:%1").arg(httpPort));
            if (!clientPortTaken && !pagePortTaken)
                return false;
            service->kill();
            service->waitForFinished(10000);
            errors.clear();
            if (clientPortTaken)
                port = freePort();
            if (pagePortTaken)
                httpPort = freePort();
        }
        return false;
    }

    bool StartOnce(const QMap<QString, QVariant> &settings, const QMap<QString, QString> &environment,
                   const QString &expect)
    {
        const QString config = root->filePath(QStringLiteral("zendrald.conf"));
        {
            QSettings file(config, QSettings::IniFormat);
            file.setValue(QStringLiteral("worker/port"), port);
            file.setValue(QStringLiteral("http/port"), httpPort);
            file.setValue(QStringLiteral("admin/socket"), root->filePath(QStringLiteral("admin")));
            file.setValue(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
            file.setValue(QStringLiteral("config/pick_job_interval"), 1);
            for (auto it = settings.cbegin(); it != settings.cend(); ++it)
                file.setValue(it.key(), it.value());
        }
        QMap<QString, QString> extra{{QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("100")}};
        for (auto it = environment.cbegin(); it != environment.cend(); ++it)
            extra.insert(it.key(), it.value());
        QProcessEnvironment env = TestProcesses::serviceEnvironment(QDir(root->path()), extra);
        env.remove(QStringLiteral("ZENDRAL_TEST_ANY_PORT")); // the page on the port given
        env.remove(QStringLiteral("ZENDRAL_TEST_HTTP_OFF"));
        service.reset(new QProcess);
        service->setProcessEnvironment(env);
        service->start(program, {QStringLiteral("--config"), config});
        if (!service->waitForStarted(10000))
            return false;
        const QString first = expect.isEmpty() ? QStringLiteral("Status page on http://127.0.0.1:%1/").arg(httpPort) : expect;
        const bool ok = TestProcesses::waitForStandardError(*service, errors, first)
                        && TestProcesses::waitForStandardError(*service, errors, QStringLiteral("Listening on"));
        if (!ok)
            qWarning().noquote() << errors;
        return ok;
    }

    // Adds the order document over the client protocol; the job's id.
    QString Add(const QString &name, int seconds)
    {
        QProcess client;
        client.start(QStringLiteral(ZENDRAL_CLIENT_PATH),
                     {"--port", QString::number(port), "add", root->filePath(QStringLiteral("order.aex")), "--work",
                      "Spring", "--name", name, "--time", QString::number(seconds)});
        if (!client.waitForFinished(30000) || client.exitCode() != 0)
            return QString();
        return QString::fromUtf8(client.readAllStandardOutput()).trimmed();
    }

    static QString BuildInfoKey(const Metrics &metrics)
    {
        for (auto it = metrics.samples.cbegin(); it != metrics.samples.cend(); ++it)
            if (it.key().startsWith(QLatin1String("zendral_build_info{version=\"")))
                return it.key();
        return QString();
    }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> service;
    QString program;
    QString errors;
    quint16 port = 0;
    quint16 httpPort = 0;
};

QTEST_GUILESS_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
