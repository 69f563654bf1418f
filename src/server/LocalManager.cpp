#include "LocalManager.h"

#include "LocalServer.h"
#include "LocalSession.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace Orvane {
namespace Zendral {

namespace {

constexpr quint16 DefaultPort = 10088;
constexpr int DefaultMaxPending = 10;
// Sessions served at once; connections beyond are closed at once, so that a
// flood of connections cannot exhaust the process's threads.
constexpr int MaxSessions = 200;
// How long a caller of localHostIP waits for the address probe.
constexpr int ProbeWaitMs = 1000;
// How often ended sessions are looked for and deleted.
constexpr int ReapIntervalMs = 500;
// Host the outward-facing address probe resolves; ZENDRAL_PROBE_HOST
// overrides it (tests point it at the loopback address). A connected UDP
// socket sends no datagram: connecting only makes the system pick the local
// address of the default route.
const char DefaultProbeHost[] = "www.qt.io";

// The process-wide address cache and the probe's state, guarded by
// ProbeMutex(). ProbeDone() is notified when a probe ends.
std::mutex &ProbeMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::condition_variable &ProbeDone()
{
    static std::condition_variable condition;
    return condition;
}

QString &CachedAddress()
{
    static QString address;
    return address;
}

bool &ProbeRunning()
{
    static bool running = false;
    return running;
}

QString ProbeHost()
{
    const QByteArray host = qgetenv("ZENDRAL_PROBE_HOST");
    return host.isEmpty() ? QString::fromLatin1(DefaultProbeHost) : QString::fromLocal8Bit(host);
}

// Runs on the probe thread: finds the local IPv4 address that outgoing
// traffic uses, then publishes it (or nothing) under ProbeMutex().
void RunProbe(const std::string host)
{
    QString address;
    try {
        namespace ip = boost::asio::ip;
        boost::asio::io_context io;
        ip::udp::resolver resolver(io);
        const auto results = resolver.resolve(ip::udp::v4(), host, "");
        ip::udp::endpoint endpoint = results.begin()->endpoint();
        // The port only matters for the connect call; no datagram is sent.
        if (endpoint.port() == 0)
            endpoint.port(53);
        ip::udp::socket socket(io, endpoint.protocol());
        socket.connect(endpoint);
        address = QString::fromStdString(socket.local_endpoint().address().to_string());
    } catch (const std::exception &e) {
        qDebug().noquote() << QStringLiteral("Could not deal with socket. Exception: ") + QString::fromLocal8Bit(e.what());
    }
    std::lock_guard<std::mutex> lock(ProbeMutex());
    if (!address.isEmpty())
        CachedAddress() = address;
    ProbeRunning() = false;
    ProbeDone().notify_all();
}

} // namespace

LocalManager::LocalManager(QObject *parent)
    : QTcpServer(parent)
{
    setMaxPendingConnections(DefaultMaxPending);
    reaper = new QTimer(this);
    reaper->setInterval(ReapIntervalMs);
    connect(reaper, &QTimer::timeout, this, &LocalManager::ReapSessions);
}

LocalManager::~LocalManager()
{
    StopListen();
    // Ask every session to end, then wait for each: the sessions use the job
    // service, which is destroyed right after this listener.
    for (LocalSession *session : qAsConst(sessions))
        session->requestInterruption();
    for (LocalSession *session : qAsConst(sessions)) {
        QElapsedTimer timer;
        timer.start();
        while (!session->wait(3000))
            qDebug() << "Waiting for a client session to end:" << timer.elapsed() << "ms";
        session->IsDone(); // orders the session's last writes before the delete
        delete session;
    }
    sessions.clear();
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(ProbeMutex());
        finishing = std::move(probe);
    }
    if (finishing.joinable())
        finishing.join();
}

bool LocalManager::StartListen(const QString &port)
{
    const quint16 number = port.isEmpty() ? DefaultPort : quint16(port.toInt(nullptr, 10));
    qDebug() << "Start Listen:" << number;
    if (!listen(QHostAddress::AnyIPv4, number)) {
        qDebug() << "Start Listen error";
        errorText = tr("Cannot start service[%1]").arg(errorString());
        return false;
    }
    qDebug() << "Start Listen Ok:" << isListening();
    return true;
}

void LocalManager::StopListen()
{
    qDebug() << "Stop Listen...";
    close();
}

QString LocalManager::ErrorText() const
{
    return errorText;
}

int LocalManager::SessionCount() const
{
    int running = 0;
    for (LocalSession *session : sessions)
        running += session->IsDone() ? 0 : 1;
    return running;
}

void LocalManager::ReapSessions()
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        LocalSession *session = *it;
        if (!session->IsDone()) {
            ++it;
            continue;
        }
        session->wait(); // run() has returned; the thread is ending now
        delete session;
        it = sessions.erase(it);
    }
    if (sessions.isEmpty())
        reaper->stop();
}

QString LocalManager::localHostIP() const
{
    std::unique_lock<std::mutex> lock(ProbeMutex());
    if (!CachedAddress().isEmpty())
        return CachedAddress();
    if (!ProbeRunning()) {
        // A finished earlier probe of this listener is joined before the
        // next one starts; it has already left the mutex.
        if (probe.joinable())
            probe.join();
        ProbeRunning() = true;
        probe = std::thread(RunProbe, ProbeHost().toStdString());
    }
    ProbeDone().wait_for(lock, std::chrono::milliseconds(ProbeWaitMs), [] { return !ProbeRunning(); });
    return CachedAddress();
}

void LocalManager::incomingConnection(qintptr socketDescriptor)
{
    qDebug() << "Incoming Connection:" << socketDescriptor;
    ReapSessions();
    if (sessions.size() >= MaxSessions) {
        qDebug() << "Too many client sessions (" << sessions.size() << "), connection closed:" << socketDescriptor;
        QTcpSocket refused;
        if (refused.setSocketDescriptor(socketDescriptor))
            refused.abort();
        return;
    }
    auto *session = new LocalSession(socketDescriptor, parent());
    sessions.insert(session);
    session->start(QThread::InheritPriority);
    if (!reaper->isActive())
        reaper->start();
}

} // namespace Zendral
} // namespace Orvane
