#include "StatusHttpServer.h"

#include "Platform.h"

#include "ServiceConfig.h"
#include "ServiceCore.h"
#include "StatusPublisher.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QThread>

#include <httplib.h>

#include <chrono>

// The page's files are compiled into the app library; a static library's
// resources are registered by name, outside any namespace.
static void InitStatusPageResources()
{
    Q_INIT_RESOURCE(statuspage);
}

namespace Orvane {
namespace Zendral {

namespace {

// A request is small (a GET); a slow client gives up its thread soon.
constexpr size_t MaxRequestBody = 1024;
constexpr int ReadTimeoutSeconds = 5;
constexpr int WriteTimeoutSeconds = 5;
// A status snapshot older than this means the main thread is stuck.
constexpr qint64 StaleSnapshotMs = 10000;
// How long a request waits for the main thread to walk the queue; a busy
// main thread leaves it the last walk's result.
constexpr int FreshWaitMs = 2000;

const char *const JsonType = "application/json";
const char *const TextType = "text/plain; charset=utf-8";
const char *const MetricsType = "text/plain; version=0.0.4; charset=utf-8";

QByteArray ReadResource(const char *path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        qWarning().noquote() << "Status page: resource missing:" << path;
    return file.readAll();
}

void SetBody(httplib::Response &response, const QByteArray &body, const char *type)
{
    response.set_content(body.constData(), size_t(body.size()), type);
}

} // namespace

StatusHttpServer::StatusHttpServer(ServiceCore &core, const ServiceConfig &config)
    : publisher(std::make_unique<StatusPublisher>(core))
    , allowed(config.httpAllowedClients)
{
    InitStatusPageResources();
    page = ReadResource(":/statuspage/index.html");
    script = ReadResource(":/statuspage/status.js");
    style = ReadResource(":/statuspage/status.css");
    Start(config);
}

StatusHttpServer::~StatusHttpServer()
{
    Stop();
}

bool StatusHttpServer::Start(const ServiceConfig &config)
{
    if (config.httpPort == 0) {
        qInfo().noquote() << "Status page and metrics off (http/port is 0)";
        return false;
    }
    // CTest sets ZENDRAL_TEST_HTTP_OFF=1 for every test: no test's service
    // takes this machine's real status port, nor a port that a test chose
    // for something else. The status page's own tests remove it.
    if (qEnvironmentVariable("ZENDRAL_TEST_HTTP_OFF") == QLatin1String("1")) {
        qInfo().noquote() << "ZENDRAL_TEST_HTTP_OFF=1 (tests only): status page and metrics off";
        return false;
    }
    const QHostAddress address(config.httpListen);
    if (address.isNull()) {
        qWarning().noquote() << "Status page off: http/listen" << config.httpListen << "is not an address";
        return false;
    }
    for (const QString &problem : allowed.Problems())
        qWarning().noquote() << "http/allowed_clients: left out:" << problem;

    server = std::make_unique<httplib::Server>();
    server->new_task_queue = [] { return new httplib::ThreadPool(PoolThreads); };
    server->set_read_timeout(ReadTimeoutSeconds, 0);
    server->set_write_timeout(WriteTimeoutSeconds, 0);
    server->set_payload_max_length(MaxRequestBody);
    // One request per connection: a browser that polls cannot hold one of
    // the few pool threads between its requests.
    server->set_keep_alive_max_count(1);
    server->set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    AddRoutes();

    const std::string host = address.toString().toStdString();
    // Tests that start services side by side (ZENDRAL_TEST_ANY_PORT=1, see
    // ServiceCore::StartServer) take any free port here as well.
    int bound = config.httpPort;
    if (qEnvironmentVariable("ZENDRAL_TEST_ANY_PORT") == QLatin1String("1"))
        bound = server->bind_to_any_port(host);
    else if (!server->bind_to_port(host, config.httpPort))
        bound = -1;
    if (bound <= 0) {
        qWarning().noquote() << QStringLiteral("Status page: cannot listen on %1:%2 (in use, or not an address of "
                                               "this machine); the job service goes on without it")
                                    .arg(address.toString())
                                    .arg(config.httpPort);
        server.reset();
        return false;
    }
    httplib::Server *running = server.get();
    // The pool's threads are started by this one and inherit its signal mask.
    acceptor = std::thread([running] {
        Platform::KeepSignalsOffThisThread();
        running->listen_after_bind();
    });
    // stop() does nothing until the server runs, so Stop() waits for that.
    for (int wait = 0; wait < 5000 && !server->is_running(); ++wait)
        QThread::msleep(1);
    port = quint16(bound);
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString()) : address.toString();
    qInfo().noquote() << QStringLiteral("Status page on http://%1:%2/ (metrics at /metrics)").arg(shown).arg(port);
    return true;
}

// Closes the listening socket; cpp-httplib then finishes the requests under
// way and joins its pool before listen_after_bind returns.
void StatusHttpServer::Stop()
{
    if (!server)
        return;
    publisher->StopServing(); // no handler waits for this thread while it joins them
    server->stop();
    if (acceptor.joinable())
        acceptor.join();
    server.reset();
    port = 0;
}

void StatusHttpServer::AddRoutes()
{
    server->set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        return Refuses(request, response) ? httplib::Server::HandlerResponse::Handled
                                          : httplib::Server::HandlerResponse::Unhandled;
    });
    server->Get("/", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                            "img-src 'self' data:; frame-ancestors 'none'");
        SetBody(response, page, "text/html; charset=utf-8");
    });
    server->Get("/status.js", [this](const httplib::Request &, httplib::Response &response) {
        SetBody(response, script, "text/javascript; charset=utf-8");
    });
    server->Get("/status.css", [this](const httplib::Request &, httplib::Response &response) {
        SetBody(response, style, "text/css; charset=utf-8");
    });
    server->Get("/api/status", [this](const httplib::Request &, httplib::Response &response) {
        SetBody(response, publisher->Snapshot()->statusJson, JsonType);
    });
    server->Get("/api/jobs", [this](const httplib::Request &, httplib::Response &response) {
        SetBody(response, publisher->Fresh(StatusPublisher::JobList, FreshWaitMs)->jobsJson, JsonType);
    });
    server->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        const auto snapshot = publisher->Fresh(StatusPublisher::OldestWaiting, FreshWaitMs);
        SetBody(response, publisher->Metrics().Render(*snapshot, QDateTime::currentMSecsSinceEpoch()), MetricsType);
    });
    server->Get("/healthz", [this](const httplib::Request &, httplib::Response &response) { Health(response); });
}

// Only GET (and HEAD) from the allowed addresses; everything here is read-only.
bool StatusHttpServer::Refuses(const httplib::Request &request, httplib::Response &response) const
{
    if (!allowed.AllowsEveryone() && !allowed.Allows(QHostAddress(QString::fromStdString(request.remote_addr)))) {
        response.status = 403;
        response.set_content("Forbidden: this address is not in http/allowed_clients\n", TextType);
        return true;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        response.set_content("Method not allowed: the status page is read-only\n", TextType);
        return true;
    }
    return false;
}

// 200 "ok" while the listener listens and the store accepts changes, else
// 503 with every reason found.
void StatusHttpServer::Health(httplib::Response &response)
{
    const auto snapshot = publisher->Snapshot();
    QStringList reasons;
    if (QDateTime::currentMSecsSinceEpoch() - snapshot->madeMs > StaleSnapshotMs)
        reasons << QStringLiteral("the service has not answered for %1 s")
                       .arg((QDateTime::currentMSecsSinceEpoch() - snapshot->madeMs) / 1000);
    if (!snapshot->listening)
        reasons << QStringLiteral("not listening for clients");
    if (snapshot->shared && !snapshot->connected)
        reasons << QStringLiteral("database unreachable");
    const QString folder = folderProbe.Problem(snapshot->jobsFolder);
    if (!folder.isEmpty())
        reasons << folder;
    if (reasons.isEmpty()) {
        SetBody(response, QByteArrayLiteral("ok\n"), TextType);
        return;
    }
    response.status = 503;
    SetBody(response, reasons.join(QLatin1Char('\n')).toUtf8() + '\n', TextType);
}

} // namespace Zendral
} // namespace Orvane
