#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <functional>

namespace Orvane {
namespace Zendral {
namespace Bench {

class BenchClient;
class ClientGroup;
class WireProtocol;

// The adding clients: each keeps exactly one add of the 1 KiB document in
// flight, sending the next as soon as its reply is in.
//
// Thread: main thread only.
class AdderPool : public QObject
{
    Q_OBJECT

public:
    AdderPool(const WireProtocol &wire, int clients, const QByteArray &document, QObject *parent = nullptr);

    void Open(quint16 port);
    // Called after every accepted add with the number accepted so far.
    void OnAccepted(std::function<void(int)> hook) { onAccepted = std::move(hook); }
    // Adds until `count` more adds have been answered; throws BenchFailure
    // when a connection breaks or no reply comes for a long time.
    void Run(int count);
    // Keeps adding until StopAndDrain.
    void StartContinuous();
    // Sends no more and waits for the replies still on their way.
    void StopAndDrain();

    int Accepted() const { return acceptedIds.size(); }
    int Refused() const { return refused; }
    QString LastRefusal() const { return lastRefusal; }
    // What the server answered to every accepted add (Zendral: job ids).
    const QStringList &AcceptedIds() const { return acceptedIds; }

private:
    void OnReply(BenchClient *client, bool accepted, const QString &content);
    void SendNext(BenchClient *client);
    void Kick();
    void CheckStall() const;

    const WireProtocol &wire;
    QByteArray document;
    ClientGroup *group;
    std::function<void(int)> onAccepted;
    bool adding = false;
    qint64 limit = -1; // adds to send in all; -1 while continuous
    qint64 sent = 0;
    qint64 answered = 0;
    int refused = 0;
    QString lastRefusal;
    QStringList acceptedIds;
    QElapsedTimer sinceReply;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
