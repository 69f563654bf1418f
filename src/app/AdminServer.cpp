#include "AdminServer.h"

#include "SafeJson.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>

namespace Orvane {
namespace Zendral {

AdminServer::AdminServer(ServiceCore &core, QObject *parent)
    : QObject(parent)
    , commands(core)
    , events(core)
{
    server.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    server.setMaxPendingConnections(MaxConnections);
    connect(&server, &QLocalServer::newConnection, this, &AdminServer::Accept);
    connect(&events, &OperatorEvents::event, this, &AdminServer::Broadcast);
}

// Closing the server removes its socket file.
AdminServer::~AdminServer()
{
    const QList<QLocalSocket *> sockets = connections.keys();
    connections.clear();
    for (QLocalSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
    server.close();
}

bool AdminServer::Listen(const QString &path)
{
    {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(1000)) {
            qWarning().noquote() << "Operator channel not opened:" << path
                                 << "is in use by another running service; zendralctl reaches that one";
            return false;
        }
    }
    QString problem;
    if (!RemovableSocket(path, &problem)) {
        qWarning().noquote() << "Operator channel not opened:" << problem;
        return false;
    }
    QLocalServer::removeServer(path);
    if (!server.listen(path)) {
        qWarning().noquote() << "Operator channel not opened at" << path << ":" << server.errorString();
        return false;
    }
    qInfo().noquote() << "Operator channel (zendralctl) at" << server.fullServerName();
    return true;
}

// Unix: only a socket is removed, never a file or folder that happens to
// have the configured name. Windows: a named pipe leaves nothing behind.
bool AdminServer::RemovableSocket(const QString &path, QString *problem)
{
#ifdef Q_OS_UNIX
    const QFileInfo info(path);
    if (info.isSymLink() || info.isFile() || info.isDir()) {
        *problem = QStringLiteral("%1 exists and is not a socket; it is left alone").arg(path);
        return false;
    }
#else
    Q_UNUSED(path)
    Q_UNUSED(problem)
#endif
    return true;
}

void AdminServer::Accept()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        socket->setParent(this);
        if (connections.size() >= MaxConnections) {
            qWarning("Operator connection refused: %d are open already", MaxConnections);
            socket->write(QJsonDocument(AdminCommands::Refused(QStringLiteral("too many operator connections")))
                              .toJson(QJsonDocument::Compact) + '\n');
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (socket->state() == QLocalSocket::UnconnectedState)
                socket->deleteLater();
            continue;
        }
        // The buffer stops reading from the socket when full, so a client
        // that sends an endless line costs this much memory at most.
        socket->setReadBufferSize(MaxRequestBytes + 1);
        connections.insert(socket, Connection());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Read(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            if (connections.remove(socket)) {
                socket->deleteLater();
                FollowForWatchers();
            }
        });
    }
}

void AdminServer::Read(QLocalSocket *socket)
{
    for (;;) {
        auto found = connections.find(socket);
        if (found == connections.end())
            return;
        if (found->watching) {
            socket->readAll(); // a watching connection only listens
            return;
        }
        found->buffer += socket->read(MaxRequestBytes + 1 - found->buffer.size());
        const int end = found->buffer.indexOf('\n');
        if (end < 0) {
            if (found->buffer.size() > MaxRequestBytes) {
                Send(socket, AdminCommands::Refused(QStringLiteral("request line longer than %1 bytes").arg(MaxRequestBytes)));
                Drop(socket, "request line too long", false);
            }
            return;
        }
        const QByteArray line = found->buffer.left(end);
        found->buffer.remove(0, end + 1);
        Handle(socket, line);
    }
}

void AdminServer::Handle(QLocalSocket *socket, const QByteArray &line)
{
    if (line.trimmed().isEmpty())
        return;
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        Drop(socket, "its replies are not read", true);
        return;
    }
    QString error;
    const QJsonDocument document = SafeJson::Parse(line, &error);
    if (!document.isObject()) {
        Send(socket, AdminCommands::Refused(QStringLiteral("a request is one JSON object per line")));
        return;
    }
    const QJsonObject request = document.object();
    if (request.value(QStringLiteral("op")).toString() == QLatin1String("watch")) {
        if (Send(socket, QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("watching"), true}})) {
            connections[socket].watching = true;
            FollowForWatchers();
        }
        return;
    }
    Send(socket, commands.Run(request));
}

bool AdminServer::Send(QLocalSocket *socket, const QJsonObject &object)
{
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        Drop(socket, "it does not read what is sent", true);
        return false;
    }
    socket->write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    return true;
}

void AdminServer::Broadcast(const QJsonObject &event)
{
    const QList<QLocalSocket *> sockets = connections.keys();
    for (QLocalSocket *socket : sockets) {
        if (connections.value(socket).watching)
            Send(socket, event);
    }
}

void AdminServer::FollowForWatchers()
{
    bool watched = false;
    for (const Connection &connection : qAsConst(connections))
        watched = watched || connection.watching;
    events.SetFollowing(watched);
}

void AdminServer::Drop(QLocalSocket *socket, const char *why, bool abort)
{
    if (!connections.remove(socket))
        return;
    FollowForWatchers();
    qWarning("Operator connection closed: %s", why);
    socket->disconnect(this);
    if (abort) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->disconnectFromServer(); // what is queued still goes out
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->deleteLater();
}

} // namespace Zendral
} // namespace Orvane
