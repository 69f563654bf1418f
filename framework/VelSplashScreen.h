#pragma once

#include <QSplashScreen>

namespace Orvane {

// The program's splash screen: its splash image (or a plain generated one)
// with the version and build number drawn on it.
//
// Thread: GUI thread.
class VelSplashScreen : public QSplashScreen
{
    Q_OBJECT
public:
    explicit VelSplashScreen(QWidget *parent = nullptr);

    // The picture shown: the image with the version text drawn on it.
    static QPixmap splashPixmap();
};

} // namespace Orvane
