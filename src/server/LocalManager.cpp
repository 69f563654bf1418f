#include "LocalManager.h"

#include "LocalServer.h"
#include "LocalSession.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSettings>
#include <QTimer>

#include <boost/asio.hpp>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
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
// Defaults of the limits in the settings group "worker".
constexpr int DefaultMaxPerAddress = 32;
constexpr int DefaultFrameTimeoutSeconds = 60;
constexpr int DefaultIdleTimeoutSeconds = 600;
constexpr int DefaultMaxInflightMb = 1024;
constexpr qint64 MiB = 1024 * 1024;
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
    qWarning().noquote() << QStringLiteral("Could not deal with socket. Exception: ") + QString::fromLocal8Bit(reason);
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

// The client address of an accepted connection, before any socket object
// takes it over (null when the client has already gone). The native call
// takes an int length on Windows and a socklen_t elsewhere.
QHostAddress PeerOf(qintptr descriptor)
{
    sockaddr_storage storage = {};
#ifdef Q_OS_WIN
    int length = int(sizeof(storage));
    if (::getpeername(SOCKET(descriptor), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QHostAddress();
#else
    socklen_t length = sizeof(storage);
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QHostAddress();
#endif
    return QHostAddress(reinterpret_cast<const sockaddr *>(&storage));
}

// A whole-number setting of the group the caller opened; a missing key gets
// its default written, so that the operator finds it in the settings file.
int IntSetting(QSettings &settings, const char *key, int fallback)
{
    if (!settings.contains(QLatin1String(key)))
        settings.setValue(QLatin1String(key), fallback);
    bool ok = false;
    const int value = settings.value(QLatin1String(key)).toInt(&ok);
    return ok ? value : fallback;
}

// The budget for request bodies: the setting, but never more than a quarter
// of the machine's memory.
qint64 InflightLimit(int megabytes)
{
    qint64 bytes = qint64(qMax(1, megabytes)) * MiB;
    const qint64 physical = InflightBudget::PhysicalMemory();
    if (physical > 0 && bytes > physical / 4)
        bytes = physical / 4;
    return bytes;
}

} // namespace

LocalManager::LocalManager(QObject *parent)
    : QTcpServer(parent)
    , budget(new InflightBudget(InflightLimit(DefaultMaxInflightMb)))
{
    limits.budget = budget.get();
#ifdef __GLIBC__
    // Request bodies are large and short-lived. glibc raises its mmap
    // threshold after the first large block is freed and then keeps every
    // session thread's last body resident in that thread's arena; a fixed
    // threshold makes blocks of 1 MiB and more go back to the system when
    // freed, so that the budget bounds resident memory, not only live bytes.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
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
    addresses.clear();
    // A running address probe is not waited for: it is detached and touches
    // only the process-wide probe state, which is never destroyed.
}

bool LocalManager::StartListen(const QString &port)
{
    const quint16 number = port.isEmpty() ? DefaultPort : quint16(port.toInt(nullptr, 10));
    qDebug() << "Start Listen:" << number;
    ReadLimits();
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

void LocalManager::ReadLimits()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("worker"));
    maxPerAddress = qMax(1, IntSetting(settings, "max_connect_per_address", DefaultMaxPerAddress));
    limits.frameTimeoutMs = qint64(qMax(1, IntSetting(settings, "frame_timeout_seconds", DefaultFrameTimeoutSeconds))) * 1000;
    limits.idleTimeoutMs = qint64(qMax(1, IntSetting(settings, "idle_timeout_seconds", DefaultIdleTimeoutSeconds))) * 1000;
    budget->SetLimit(InflightLimit(IntSetting(settings, "max_inflight_mb", DefaultMaxInflightMb)));
    // Written by hand with commas and no quotes, the INI format reads the
    // value as a list: it is joined back, never taken as empty.
    if (!settings.contains(QStringLiteral("allowed_clients")))
        settings.setValue(QStringLiteral("allowed_clients"), QString());
    allowed = AddressFilter(settings.value(QStringLiteral("allowed_clients")).toStringList().join(QLatin1Char(',')));
    if (!allowed.InvalidEntries().isEmpty())
        qWarning().noquote() << "allowed_clients: not an address or a network, left out:"
                             << allowed.InvalidEntries().join(QStringLiteral(", "));
    qInfo().noquote() << QStringLiteral("Limits: %1 sessions per address, frame timeout %2 s, idle timeout %3 s, "
                                        "request budget %4 MiB, allowed clients: %5")
                             .arg(maxPerAddress)
                             .arg(limits.frameTimeoutMs / 1000)
                             .arg(limits.idleTimeoutMs / 1000)
                             .arg(budget->Limit() / MiB)
                             .arg(allowed.AllowsEveryone() ? QStringLiteral("everyone")
                                                           : settings.value(QStringLiteral("allowed_clients"))
                                                                 .toStringList()
                                                                 .join(QLatin1Char(',')));
}

bool LocalManager::Admits(const QHostAddress &address)
{
    const QString who = address.isNull() ? QStringLiteral("an unknown address") : address.toString();
    if (!allowed.Allows(address)) {
        qWarning().noquote() << "Connection from" << who << "refused: not in allowed_clients";
        return false;
    }
    if (sessions.size() >= MaxSessions) {
        qWarning().noquote() << "Connection from" << who << "refused: too many client sessions (" << sessions.size()
                             << ")";
        return false;
    }
    int fromAddress = 0;
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it)
        fromAddress += it.value() == address ? 1 : 0;
    if (fromAddress >= maxPerAddress) {
        qWarning().noquote() << "Connection from" << who << "refused: it has" << fromAddress
                             << "sessions, max_connect_per_address is" << maxPerAddress;
        return false;
    }
    return true;
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
        addresses.remove(session);
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
    const QHostAddress address = PeerOf(socketDescriptor);
    if (!Admits(address)) {
        CloseDescriptor(socketDescriptor);
        return;
    }
    auto *session = new LocalSession(socketDescriptor, parent(), limits);
    sessions.insert(session);
    addresses.insert(session, address);
    session->start(QThread::InheritPriority);
    if (!reaper->isActive())
        reaper->start();
}

} // namespace Zendral
} // namespace Orvane
