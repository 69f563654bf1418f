#include "AbstractMainWindow.h"

#include "ServiceCore.h"
#include "ServiceSettings.h"
#include "VelCoreApplication.h"

#include <QCloseEvent>
#include <QMessageBox>

namespace Orvane {
namespace Zendral {

AbstractMainWindow::AbstractMainWindow(bool autoStart)
    : QMainWindow(nullptr)
    , settings(new ServiceSettings(ServiceSettings::UserSettings()))
{
    // Plain test programs have no framework application object.
    if (VelCoreApplication *app = VelCoreApplication::instance())
        app->setMainWindow(this);
    // A jobs folder the job service cannot make is shown in a message box.
    core.reset(new ServiceCore(*settings, autoStart, [](const QString &title, const QString &text) {
        QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
    }));
    connect(core.get(), &ServiceController::quitRequested, this, &QWidget::close);
}

AbstractMainWindow::~AbstractMainWindow()
{
    DropCore();
}

void AbstractMainWindow::DropCore()
{
    core.reset();
}

bool AbstractMainWindow::Launch()
{
    if (!core->Launch())
        return false;
    show();
    return true;
}

void AbstractMainWindow::closeEvent(QCloseEvent *event)
{
    core->OnStopServer();
    QMainWindow::closeEvent(event);
}

} // namespace Zendral
} // namespace Orvane
