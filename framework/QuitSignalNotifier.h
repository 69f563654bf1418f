#pragma once

#include <QObject>

class QSocketNotifier;

namespace Orvane {

// Turns the system's requests to end the program (SIGTERM, as systemd and
// kill send it, and SIGINT, Ctrl+C in a terminal) into the Qt signal
// quitRequested, so that the program ends through its event loop as when
// the operator closes the window. Qt's event loop does not do this by
// itself: the default action ends the process at once, without the last
// queue backup and with a failure status. A signal that is ignored at
// construction (SIGINT of a job started in the background) stays ignored.
// On Windows it does nothing: a console close or a service stop arrives
// there by other means.
//
// Thread: built, used and destroyed on the main thread; the system's handler
// (whichever thread it interrupts) only writes one byte to a pipe, which a
// socket notifier reads on the main thread. One instance at a time.
class QuitSignalNotifier : public QObject
{
    Q_OBJECT
public:
    explicit QuitSignalNotifier(QObject *parent = nullptr);
    ~QuitSignalNotifier() override;

    // True when the handlers are installed.
    bool isActive() const;

signals:
    void quitRequested(int signalNumber);

private:
    void readSignals();

    QSocketNotifier *notifier = nullptr;
};

} // namespace Orvane
