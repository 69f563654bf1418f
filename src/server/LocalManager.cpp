#include "LocalManager.h"

#include "LocalServer.h"
#include "LocalSession.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>

#include <boost/asio.hpp>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

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

// The process-wide address cache and the state of the probe, all guarded by
// `mutex`; `finished` is notified when a probe ends.
struct ProbeState
{
    std::mutex mutex;
    std::condition_variable finished;
    QString cachedAddress;
    bool running = false;
};

// The one probe state of the process. It is made on the heap and never
// destroyed: a detached probe thread may still use it after every listener
// is gone, even while the process exits and runs its static destructors.
ProbeState &Probe()
{
    static ProbeState *const state = new ProbeState;
    return *state;
}

// An unset ZENDRAL_PROBE_HOST means the public host; a set one, even an
// empty one (which resolves to nothing), is used as it stands.
std::string ProbeHost()
{
    if (!qEnvironmentVariableIsSet("ZENDRAL_PROBE_HOST"))
        return DefaultProbeHost;
    return qgetenv("ZENDRAL_PROBE_HOST").toStdString();
}

void LogProbeFailure(const char *reason)
{
    qDebug().noquote() << QStringLiteral("Could not deal with socket. Exception: ") + QString::fromLocal8Bit(reason);
}

// Runs on the detached probe thread: finds the local IPv4 address that
// outgoing traffic uses, then publishes it (or nothing) under the probe
// state's mutex. It uses nothing but its own locals and the probe state.
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
        LogProbeFailure(e.what());
    }
    ProbeState &probe = Probe();
    std::lock_guard<std::mutex> lock(probe.mutex);
    if (!address.isEmpty())
        probe.cachedAddress = address;
    probe.running = false;
    probe.finished.notify_all();
}

// Closes an accepted connection that no socket object takes over. The native
// call differs: closesocket on Windows, close elsewhere.
void CloseDescriptor(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(descriptor));
#else
    ::close(int(descriptor));
#endif
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
    // A running address probe is not waited for: it is detached and touches
    // only the process-wide probe state, which is never destroyed.
}

bool LocalManager::StartListen(const QString &port)
{
    const quint16 number = port.isEmpty() ? DefaultPort : quint16(port.toInt(nullptr, 10));
    qDebug() << "Start Listen:" << number;
    if (!listen(QHostAddress::AnyIPv4, number)) {
        qDebug() << "Start Listen error";
        qWarning().noquote() << QStringLiteral("Cannot listen on port %1: %2").arg(number).arg(errorString());
        errorText = tr("Cannot start service[%1]").arg(errorString());
        return false;
    }
    qDebug() << "Start Listen Ok:" << isListening();
    qInfo().noquote() << QStringLiteral("Listening on %1:%2").arg(serverAddress().toString()).arg(serverPort());
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

QString LocalManager::localHostIP(int waitMs) const
{
    ProbeState &probe = Probe();
    std::unique_lock<std::mutex> lock(probe.mutex);
    if (!probe.cachedAddress.isEmpty())
        return probe.cachedAddress;
    if (!probe.running) {
        // Detached: a name service that does not answer keeps only the probe
        // thread waiting, never a caller or a listener being destroyed.
        try {
            std::thread(RunProbe, ProbeHost()).detach();
            probe.running = true;
        } catch (const std::exception &e) {
            LogProbeFailure(e.what()); // no thread to be had; the next call tries again
            return QString();
        }
    }
    probe.finished.wait_for(lock, std::chrono::milliseconds(qBound(0, waitMs, ProbeWaitMs)), [&probe] { return !probe.running; });
    return probe.cachedAddress;
}

void LocalManager::incomingConnection(qintptr socketDescriptor)
{
    qDebug() << "Incoming Connection:" << socketDescriptor;
    ReapSessions();
    if (sessions.size() >= MaxSessions) {
        qDebug() << "Too many client sessions (" << sessions.size() << "), connection closed:" << socketDescriptor;
        CloseDescriptor(socketDescriptor);
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
