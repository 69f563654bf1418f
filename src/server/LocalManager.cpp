#include "LocalManager.h"

#include "LocalServer.h"
#include "LocalSession.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include "Platform.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <string>

namespace Orvane {
namespace Zendral {

namespace {

// A refused address is logged at most once in this time, with a count of
// the refusals in between.
constexpr qint64 RefusalLogIntervalMs = 60 * 1000;
// Addresses whose refusals are counted at once; older entries go first.
constexpr int MaxRefusalEntries = 1024;
// Defaults of the limits in the settings group "worker".
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
// `mutex`; `finished` is notified when a probe ends. `lookupOwner` is the
// listener whose thread receives a running name lookup (null when none runs).
struct ProbeState
{
    std::mutex mutex;
    std::condition_variable finished;
    QString cachedAddress;
    const QObject *lookupOwner = nullptr;
};

// The one probe state of the process, shared by every listener.
ProbeState &Probe()
{
    static ProbeState state;
    return state;
}

// An unset ZENDRAL_PROBE_HOST means the public host; a set one, even an
// empty one (which names nothing), is used as it stands.
QString ProbeHost()
{
    if (!qEnvironmentVariableIsSet("ZENDRAL_PROBE_HOST"))
        return QString::fromLatin1(DefaultProbeHost);
    return QString::fromLocal8Bit(qgetenv("ZENDRAL_PROBE_HOST"));
}

void LogProbeFailure(const QString &reason)
{
    qWarning().noquote() << QStringLiteral("Could not deal with socket. Exception: ") + reason;
}

// The local address of a UDP socket connected to `target`: the address of
// the route that outgoing traffic takes. Connecting a UDP socket sends
// nothing and does not block. Any thread.
QString OutwardAddress(const QHostAddress &target)
{
    QUdpSocket socket;
    // The port only matters for the connect call; no datagram is sent.
    socket.connectToHost(target, 53);
    if (socket.state() != QAbstractSocket::ConnectedState) {
        LogProbeFailure(socket.errorString());
        return QString();
    }
    return socket.localAddress().toString();
}

// Publishes a probe's answer (or none) and wakes the callers that wait.
void FinishProbe(const QString &address)
{
    ProbeState &probe = Probe();
    std::lock_guard<std::mutex> lock(probe.mutex);
    if (!address.isEmpty())
        probe.cachedAddress = address;
    probe.lookupOwner = nullptr;
    probe.finished.notify_all();
}

// The first IPv4 address of a finished name lookup, or null (logged).
QHostAddress FirstIpv4(const QHostInfo &info)
{
    for (const QHostAddress &address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    }
    LogProbeFailure(info.error() != QHostInfo::NoError ? info.errorString()
                                                        : QStringLiteral("no IPv4 address for the probe host"));
    return QHostAddress();
}

// Closes an accepted connection that no socket object takes over.
void CloseDescriptor(qintptr descriptor)
{
    Platform::CloseSocket(descriptor);
}

// The client address of an accepted connection, before any socket object
// takes it over (null when the client has already gone).
QHostAddress PeerOf(qintptr descriptor)
{
    const std::string address = Platform::SocketPeerAddress(descriptor);
    return address.empty() ? QHostAddress() : QHostAddress(QString::fromStdString(address));
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

LocalManager::LocalManager(QObject *parent, const ServiceConfig &config)
    : QTcpServer(parent)
    , config(config)
    , budget(new InflightBudget(InflightLimit(config.maxInflightMb)))
    , unsentBudget(new InflightBudget(qint64(qMax(1, config.maxUnsentMb)) * MiB))
{
    limits.budget = budget.get();
    limits.unsentBudget = unsentBudget.get();
    refusalClock.start();
#ifdef __GLIBC__
    // Request bodies are large and short-lived. glibc raises its mmap
    // threshold after the first large block is freed and then keeps every
    // session thread's last body resident in that thread's arena; a fixed
    // threshold makes blocks of 1 MiB and more go back to the system when
    // freed, so that the budget bounds resident memory, not only live bytes.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
    setMaxPendingConnections(config.maxConnect);
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
    evicted.clear();
    // A name lookup this listener would receive ends with it unanswered:
    // the next caller starts another.
    ProbeState &probe = Probe();
    std::lock_guard<std::mutex> lock(probe.mutex);
    if (probe.lookupOwner == this) {
        probe.lookupOwner = nullptr;
        probe.finished.notify_all();
    }
}

bool LocalManager::StartListen(const QString &port)
{
    const quint16 number = port.isEmpty() ? quint16(config.port) : quint16(port.toInt(nullptr, 10));
    qDebug() << "Start Listen:" << number;
    ApplyLimits();
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

void LocalManager::ApplyLimits()
{
    maxPerAddress = qMax(1, config.maxConnectPerAddress);
    maxSessions = qMax(2, config.maxSessions);
    limits.frameTimeoutMs = qint64(qMax(1, config.frameTimeoutSeconds)) * 1000;
    limits.minUploadBytesPerSecond = qint64(qMax(1, config.minUploadKbps)) * 1024;
    unsentBudget->SetLimit(qint64(qMax(1, config.maxUnsentMb)) * MiB);
    limits.idleTimeoutMs = qint64(qMax(1, config.idleTimeoutSeconds)) * 1000;
    budget->SetLimit(InflightLimit(config.maxInflightMb));
    allowed = AddressFilter(config.allowedClients);
    for (const QString &problem : allowed.Problems())
        qWarning().noquote() << "allowed_clients: left out:" << problem;
    qInfo().noquote() << QStringLiteral("Limits: %1 sessions, %2 per address, frame timeout %3 s at %4 KiB/s, idle "
                                        "timeout %5 s, request budget %6 MiB, unsent replies %7 MiB, allowed "
                                        "clients: %8")
                             .arg(maxSessions)
                             .arg(maxPerAddress)
                             .arg(limits.frameTimeoutMs / 1000)
                             .arg(limits.minUploadBytesPerSecond / 1024)
                             .arg(limits.idleTimeoutMs / 1000)
                             .arg(budget->Limit() / MiB)
                             .arg(unsentBudget->Limit() / MiB)
                             .arg(allowed.AllowsEveryone() ? QStringLiteral("everyone") : config.allowedClients);
}

bool LocalManager::Admits(const QHostAddress &address)
{
    const QString who = address.isNull() ? QStringLiteral("an unknown address") : address.toString();
    if (!allowed.Allows(address)) {
        LogRefused(who, QStringLiteral("not in allowed_clients"));
        return false;
    }
    const int fromAddress = SessionsOf(address);
    if (fromAddress >= maxPerAddress) {
        LogRefused(who, QStringLiteral("it has %1 sessions, max_connect_per_address is %2")
                            .arg(fromAddress)
                            .arg(maxPerAddress));
        return false;
    }
    if (sessions.size() - evicted.size() >= maxSessions && !EvictFor(fromAddress)) {
        LogRefused(who, QStringLiteral("all %1 client sessions are busy").arg(maxSessions));
        return false;
    }
    return true;
}

int LocalManager::SessionsOf(const QHostAddress &address) const
{
    int count = 0;
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it)
        count += it.value() == address && !evicted.contains(it.key()) ? 1 : 0;
    return count;
}

// All sessions are taken: of the sessions waiting for a request, the
// longest-idle one of the address with the most sessions gives way. An
// address with no session always gets one so, even when every address has
// a single session; one that has some only when the other has at least two
// more (so that two addresses do not take turns). The session ends within
// its next wait.
bool LocalManager::EvictFor(int newcomerSessions)
{
    QHash<QHostAddress, int> counts;
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it) {
        if (!evicted.contains(it.key()))
            ++counts[it.value()];
    }
    LocalSession *oldest = nullptr;
    int most = 0;
    qint64 oldestSince = 0;
    for (auto it = addresses.cbegin(); it != addresses.cend(); ++it) {
        const qint64 since = it.key()->IdleSinceMs();
        if (since < 0 || evicted.contains(it.key()))
            continue;
        const int count = counts.value(it.value());
        if (!oldest || count > most || (count == most && since < oldestSince)) {
            oldest = it.key();
            most = count;
            oldestSince = since;
        }
    }
    if (!oldest || (newcomerSessions > 0 && most <= newcomerSessions + 1))
        return false;
    const QHostAddress busiest = addresses.value(oldest);
    qWarning().noquote() << "Idle session of" << busiest.toString() << "closed to make room: all" << maxSessions
                         << "client sessions were taken";
    oldest->requestInterruption();
    evicted.insert(oldest);
    return true;
}

// One line per address and minute, with the refusals since the last line.
void LocalManager::LogRefused(const QString &who, const QString &reason)
{
    const qint64 now = refusalClock.elapsed();
    auto it = refusals.find(who);
    if (it != refusals.end() && now - it->loggedAt < RefusalLogIntervalMs) {
        ++it->unlogged;
        return;
    }
    const int unlogged = it == refusals.end() ? 0 : it->unlogged;
    if (it == refusals.end() && refusals.size() >= MaxRefusalEntries) {
        for (auto old = refusals.begin(); old != refusals.end();)
            old = now - old->loggedAt >= RefusalLogIntervalMs ? refusals.erase(old) : std::next(old);
        if (refusals.size() >= MaxRefusalEntries)
            return; // only counted once there is room again
    }
    refusals[who] = Refusals{now, 0};
    QString line = QStringLiteral("Connection from %1 refused: %2").arg(who, reason);
    if (unlogged > 0)
        line += QStringLiteral(" (and %1 more refused in the last minute)").arg(unlogged);
    qWarning().noquote() << line;
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
        evicted.remove(session);
        delete session;
        it = sessions.erase(it);
    }
    if (sessions.isEmpty())
        reaper->stop();
}

// A literal probe address is probed at once in the calling thread. A host
// name is looked up by Qt's resolver, and the answer arrives on this
// listener's thread: callers on other threads wait for it (at most waitMs),
// a caller on this thread cannot and asks again later.
QString LocalManager::localHostIP(int waitMs) const
{
    ProbeState &probe = Probe();
    const QString host = ProbeHost();
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        if (!probe.cachedAddress.isEmpty())
            return probe.cachedAddress;
    }
    if (host.isEmpty()) {
        LogProbeFailure(QStringLiteral("no probe host given"));
        return QString();
    }
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        FinishProbe(OutwardAddress(literal));
        std::lock_guard<std::mutex> lock(probe.mutex);
        return probe.cachedAddress;
    }
    std::unique_lock<std::mutex> lock(probe.mutex);
    if (!probe.lookupOwner) {
        probe.lookupOwner = this;
        LocalManager *self = const_cast<LocalManager *>(this);
        // Started on this listener's thread, which receives the answer.
        QMetaObject::invokeMethod(self, [self, host]() { self->StartProbeLookup(host); }, Qt::QueuedConnection);
    }
    if (QThread::currentThread() != thread())
        probe.finished.wait_for(lock, std::chrono::milliseconds(qBound(0, waitMs, ProbeWaitMs)),
                                [&probe] { return !probe.cachedAddress.isEmpty() || !probe.lookupOwner; });
    return probe.cachedAddress;
}

bool LocalManager::addressProbeRunning(QString *address) const
{
    ProbeState &probe = Probe();
    std::lock_guard<std::mutex> lock(probe.mutex);
    *address = probe.cachedAddress;
    return probe.lookupOwner != nullptr;
}

// This listener's thread: asks Qt's resolver for the probe host; the answer
// comes back to this thread (and is dropped if the listener goes first).
void LocalManager::StartProbeLookup(const QString &host)
{
    QHostInfo::lookupHost(host, this, [](const QHostInfo &info) {
        const QHostAddress target = FirstIpv4(info);
        FinishProbe(target.isNull() ? QString() : OutwardAddress(target));
    });
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
