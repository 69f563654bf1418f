#pragma once

#include "PgConnection.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Orvane {
namespace Zendral {

// A small pool of connections for the threads that use the database now and
// then (client sessions, the GUI thread): a connection is handed to one
// thread at a time and comes back when its handle goes. Connections that
// broke are dropped, and new ones made on demand. While the server cannot be
// reached, a new connection is tried at most once a second and every other
// request fails at once, so that clients get a quick "busy" reply.
//
// Thread: any thread. `mutex` guards everything below it.
class PgPool
{
public:
    using Handle = std::unique_ptr<PgConnection, std::function<void(PgConnection *)>>;

    PgPool(const QList<QPair<QByteArray, QByteArray>> &parameters, int size);
    ~PgPool();
    PgPool(const PgPool &) = delete;
    PgPool &operator=(const PgPool &) = delete;

    // A connection, or null (with *error) when none can be had. One that
    // was idle for a while is checked first (the server may have restarted
    // meanwhile), so that a request does not fail on a dead connection.
    Handle Acquire(QString *error);
    // Whether the last attempt to connect failed.
    bool IsDown() const;
    // Another connection reached the server: try again at once.
    void MarkUp();
    // Drops the idle connections (the server restarted: they are dead).
    void DropIdle();

private:
    void Release(PgConnection *connection);

    const QList<QPair<QByteArray, QByteArray>> parameters;
    const int size;
    mutable std::mutex mutex;
    std::condition_variable returned;
    // Idle connections and when each came back.
    std::vector<std::pair<std::unique_ptr<PgConnection>, std::chrono::steady_clock::time_point>> idle;
    int inUse = 0;
    bool down = false;
    std::chrono::steady_clock::time_point lastAttempt;
};

} // namespace Zendral
} // namespace Orvane
