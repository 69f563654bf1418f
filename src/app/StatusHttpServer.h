#pragma once

#include "AddressFilter.h"
#include "FolderProbe.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace Orvane {
namespace Zendral {

class ServiceCore;
class StatusPublisher;
struct ServiceConfig;

// The service's read-only HTTP endpoint ("http/port", "http/listen",
// "http/allowed_clients"): the status page at /, /api/status, /api/jobs,
// /metrics (Prometheus) and /healthz. Nothing here changes the queue. A port
// that cannot be taken is logged and the service goes on without it.
//
// Threads: made and destroyed on the main thread, which starts and stops
// the server. cpp-httplib accepts on `acceptor` and serves each connection on
// one of its PoolThreads pool threads. The handlers read only what is safe
// there: the publisher's snapshot and metrics, the page's files (read-only
// after construction), the filter (read-only) and the folder probe (its own
// mutex). They never call the core or the queue: /api/jobs and /metrics ask
// the publisher, which has the main thread walk the queue, and wait for it.
class StatusHttpServer
{
public:
    StatusHttpServer(ServiceCore &core, const ServiceConfig &config);
    ~StatusHttpServer();

    // The port served (0: none, switched off or not bound).
    quint16 Port() const { return port; }

    static constexpr int PoolThreads = 4;

private:
    bool Start(const ServiceConfig &config);
    void Stop();
    void AddRoutes();
    // Any HTTP thread.
    bool Refuses(const httplib::Request &request, httplib::Response &response) const;
    void Health(httplib::Response &response);

    std::unique_ptr<StatusPublisher> publisher;
    const AddressFilter allowed;
    FolderProbe folderProbe;
    QByteArray page;   // index.html
    QByteArray script; // status.js
    QByteArray style;  // status.css
    std::unique_ptr<httplib::Server> server;
    std::thread acceptor;
    quint16 port = 0;
};

} // namespace Zendral
} // namespace Orvane
