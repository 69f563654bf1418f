#include "PortProbe.h"

#include "BenchFailure.h"
#include "Interruption.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int AttemptMs = 200;
constexpr int PauseMs = 50;
} // namespace

quint16 PortProbe::FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        throw BenchFailure{QStringLiteral("no free port on 127.0.0.1: %1").arg(probe.errorString())};
    return probe.serverPort();
}

void PortProbe::WaitAccepting(quint16 port, int timeoutMs, const std::function<bool()> &alive, const QString &what)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (Interruption::Requested())
            throw BenchFailure{QStringLiteral("interrupted")};
        if (!alive())
            throw BenchFailure{QStringLiteral("%1 ended before it accepted connections").arg(what)};
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(AttemptMs)) {
            socket.abort();
            return;
        }
        if (clock.hasExpired(timeoutMs))
            throw BenchFailure{QStringLiteral("%1 did not accept connections on port %2 within %3 s")
                                   .arg(what)
                                   .arg(port)
                                   .arg(timeoutMs / 1000)};
        QThread::msleep(PauseMs);
    }
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
