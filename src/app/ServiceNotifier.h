#pragma once

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QString>

namespace Orvane {
namespace Zendral {

class ServiceCore;

// Tells the service manager how the headless service stands, through
// systemd's notify socket (NOTIFY_SOCKET): READY=1 once the listener is open,
// a STATUS= line ("listening on 0.0.0.0:10088, 3 waiting, 1 running", or why
// it cannot listen) whenever that text changes, and STOPPING=1 at the stop.
// Built without libsystemd, or run without NOTIFY_SOCKET, it sends nothing.
//
// Thread: the main thread (the core's and the queue's signals arrive there).
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    // core: outlives this object.
    explicit ServiceNotifier(ServiceCore &core, QObject *parent = nullptr);

    // The stop has begun.
    void Stopping();
    // The current status line.
    QString StatusText() const;

private:
    void FollowQueue();
    void Update();
    void OnListenFailed();
    // One notification; false when nothing was sent.
    static bool Send(const QByteArray &state);

    ServiceCore &core;
    QMetaObject::Connection queueConnection;
    bool ready = false;
    bool stopping = false;
    QString failure; // the last failed start's message, until the listener opens
    QString sentStatus;
};

} // namespace Zendral
} // namespace Orvane
