#pragma once

#include <QHostAddress>
#include <QObject>
#include <QVector>

class QString;

namespace Orvane {
namespace Zendral {
namespace Bench {

class BenchClient;
class WireProtocol;

// A group of benchmark clients, the i-th bound to 127.0.<block>.<i+1>, all
// on one server port.
//
// Thread: main thread only.
class ClientGroup : public QObject
{
    Q_OBJECT

public:
    ClientGroup(const WireProtocol &wire, int count, int block, QObject *parent = nullptr);

    // Connects every client and waits (bounded) until all are ready.
    void Open(quint16 port);
    const QVector<BenchClient *> &Clients() const { return clients; }
    // Throws BenchFailure when a connection has broken.
    void CheckBroken() const;
    bool AllIdle() const;
    // Waits until no request is in flight.
    void WaitIdle(int timeoutMs, const QString &what) const;

private:
    QVector<BenchClient *> clients;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
