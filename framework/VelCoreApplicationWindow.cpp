// The widget half of VelCoreApplication: the registered main window. Kept
// apart so that the framework's core part links no widget library.
#include "VelCoreApplication.h"

#include <QMainWindow>

namespace Orvane {

void VelCoreApplication::setMainWindow(QMainWindow *mainWindow)
{
    window = mainWindow;
}

QMainWindow *VelCoreApplication::mainWindow() const
{
    return static_cast<QMainWindow *>(window.data());
}

} // namespace Orvane
