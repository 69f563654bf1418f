#pragma once

#include "AdminCommands.h"
#include "OperatorEvents.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QString>

class QLocalSocket;

namespace Orvane {
namespace Zendral {

class ServiceCore;

// The operator channel: a local socket (a Unix domain socket; a named pipe
// on Windows) that only the service's user and group may open. Each
// direction carries one JSON object per line (docs/admin.md): a request
// line gets one reply line; after "watch" the connection receives the
// operator's events (OperatorEvents) until it closes.
//
// Limits, so that no operator connection can hold up the service: a request
// line of at most MaxRequestBytes, MaxConnections connections at once, and a
// connection that lets more than MaxUnsentBytes of replies or events pile up
// unread is closed. All writes are buffered; nothing here waits on a client.
//
// Thread: the core's (main) thread; it owns the connections.
class AdminServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxRequestBytes = 64 * 1024;
    static constexpr int MaxConnections = 16;
    static constexpr qint64 MaxUnsentBytes = 8 * 1024 * 1024;

    explicit AdminServer(ServiceCore &core, QObject *parent = nullptr);
    ~AdminServer() override;

    // Opens the channel at `path`. A socket file left by a run that ended
    // without closing it is replaced; one that a live service still answers
    // on is left alone (false). False, with the reason logged, when it
    // cannot be opened: the service then runs without the channel.
    bool Listen(const QString &path);
    bool IsListening() const { return server.isListening(); }
    QString Path() const { return server.fullServerName(); }

private:
    struct Connection
    {
        QByteArray buffer; // received bytes not yet a whole line
        bool watching = false;
    };

    void Accept();
    void Read(QLocalSocket *socket);
    void Handle(QLocalSocket *socket, const QByteArray &line);
    // Queues one object as a line; false when the client had let too much
    // pile up unread (the connection is then closed).
    bool Send(QLocalSocket *socket, const QJsonObject &object);
    void Broadcast(const QJsonObject &event);
    // The events follow the queue while a connection watches.
    void FollowForWatchers();
    // Ends a connection: after what is queued has gone out, or at once
    // (abort) for a client that does not read.
    void Drop(QLocalSocket *socket, const char *why, bool abort);
    // Whether the file at `path` is a stale socket that may be removed.
    static bool RemovableSocket(const QString &path, QString *problem);

    QLocalServer server;
    AdminCommands commands;
    OperatorEvents events;
    QHash<QLocalSocket *, Connection> connections;
};

} // namespace Zendral
} // namespace Orvane
