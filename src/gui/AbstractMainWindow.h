#pragma once

#include <QMainWindow>

#include <memory>

class QCloseEvent;

namespace Orvane {
namespace Zendral {

class ServiceCore;
class ServiceSettings;

// The window side of the service's control flow: registers itself as the
// program's main window, owns the per-user settings and the service core
// (ServiceCore, which does the work without any widgets), launches it, and
// stops it when the window closes. The core's update hand-over closes the
// window.
//
// Thread: GUI thread only.
class AbstractMainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit AbstractMainWindow(bool autoStart);
    ~AbstractMainWindow() override;

    // Starts the service (autoStart) or runs the update check first, then
    // shows the window; false when an update is being installed.
    virtual bool Launch();

    ServiceCore *Core() const { return core.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    // Deletes the core now (the queue writes its last backup); subclasses
    // call it in their destructor once they have let go of its records.
    void DropCore();

private:
    std::unique_ptr<ServiceSettings> settings;
    std::unique_ptr<ServiceCore> core;
};

} // namespace Zendral
} // namespace Orvane
