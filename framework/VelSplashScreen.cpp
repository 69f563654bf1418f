#include "VelSplashScreen.h"

#include "VelCoreApplication.h"

#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QPainter>

namespace Orvane {

VelSplashScreen::VelSplashScreen(QWidget *parent)
    : QSplashScreen(splashPixmap())
{
    // A splash screen is always a window of its own, also with a parent.
    if (parent)
        setParent(parent, windowFlags());
}

QPixmap VelSplashScreen::splashPixmap()
{
    const QString image = QStringLiteral(":/images/splashscreen.png");
    QPixmap pixmap;
    if (QFile::exists(image))
        pixmap.load(image);
    QString name = QCoreApplication::applicationName();
    if (pixmap.isNull()) {
        pixmap = QPixmap(480, 300);
        pixmap.fill(QColor(0x2b, 0x3a, 0x4a));
        QPainter painter(&pixmap);
        QFont font = painter.font();
        font.setPointSize(28);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(pixmap.rect(), Qt::AlignCenter, name);
    }

    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral(ZENDRAL_VERSION);
    const VelCoreApplication *app = VelCoreApplication::instance();
    const QString build = app ? app->buildNumber() : QStringLiteral(ZENDRAL_BUILD_NUMBER);
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect().adjusted(12, 12, -12, -12), Qt::AlignRight | Qt::AlignBottom,
                     QStringLiteral("Version %1 (build %2)").arg(version, build));
    return pixmap;
}

} // namespace Orvane
