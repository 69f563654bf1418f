#include "PgPool.h"

namespace Orvane {
namespace Zendral {

namespace {
constexpr auto RetryWhileDown = std::chrono::seconds(1);
constexpr auto WaitForConnection = std::chrono::seconds(30);
constexpr auto CheckAfterIdle = std::chrono::seconds(2);
} // namespace

PgPool::PgPool(const QList<QPair<QByteArray, QByteArray>> &parameters, int size)
    : parameters(parameters)
    , size(qMax(1, size))
{
}

PgPool::~PgPool()
{
    std::unique_lock<std::mutex> lock(mutex);
    // Every handle is back before the pool goes (the owner stops its users first).
    returned.wait_for(lock, WaitForConnection, [this] { return inUse == 0; });
    idle.clear();
}

PgPool::Handle PgPool::Acquire(QString *error)
{
    std::unique_ptr<PgConnection> connection;
    bool check = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!returned.wait_for(lock, WaitForConnection, [this] { return !idle.empty() || inUse < size; })) {
            *error = QStringLiteral("no database connection free");
            return Handle();
        }
        if (!idle.empty()) {
            connection = std::move(idle.back().first);
            check = std::chrono::steady_clock::now() - idle.back().second > CheckAfterIdle;
            idle.pop_back();
        } else {
            const auto now = std::chrono::steady_clock::now();
            if (down && now - lastAttempt < RetryWhileDown) {
                *error = QStringLiteral("the database cannot be reached");
                return Handle();
            }
            lastAttempt = now;
        }
        ++inUse;
    }
    if (connection && check && !connection->Run("SELECT 1"))
        connection.reset(); // dead: a new one instead
    if (!connection) {
        connection.reset(new PgConnection);
        const bool opened = connection->Open(parameters);
        std::lock_guard<std::mutex> lock(mutex);
        down = !opened;
        if (!opened) {
            *error = connection->Error();
            --inUse;
            returned.notify_one();
            return Handle();
        }
    }
    return Handle(connection.release(), [this](PgConnection *c) { Release(c); });
}

void PgPool::Release(PgConnection *connection)
{
    std::unique_ptr<PgConnection> owned(connection);
    owned->Rollback(); // a handle never passes on an open transaction
    std::lock_guard<std::mutex> lock(mutex);
    --inUse;
    if (owned->IsOk()) {
        idle.emplace_back(std::move(owned), std::chrono::steady_clock::now());
    } else {
        down = true;
        lastAttempt = std::chrono::steady_clock::now();
    }
    returned.notify_one();
}

bool PgPool::IsDown() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return down;
}

void PgPool::MarkUp()
{
    std::lock_guard<std::mutex> lock(mutex);
    down = false;
}

void PgPool::DropIdle()
{
    std::lock_guard<std::mutex> lock(mutex);
    idle.clear();
}

} // namespace Zendral
} // namespace Orvane
