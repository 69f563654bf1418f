#pragma once

#include "VelCoreApplication.h"

#include <QApplication>

namespace Orvane {

// The program's application object: a widget application named after the
// organisation "Orvane", with the program's version and icon.
//
// Thread: built and destroyed on the main thread.
class VelApplication : public QApplication, public VelCoreApplication
{
public:
    VelApplication(int &argc, char **argv);
    ~VelApplication() override;
};

} // namespace Orvane
