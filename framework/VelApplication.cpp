#include "VelApplication.h"

#include <QFile>
#include <QIcon>

namespace Orvane {

VelApplication::VelApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // Settings and the per-user data folder become Orvane/<application name>.
    setOrganizationName(QStringLiteral("Orvane"));
    setApplicationVersion(QStringLiteral(ZENDRAL_VERSION));
    const QString icon = QStringLiteral(":/images/app.png");
    if (QFile::exists(icon))
        setWindowIcon(QIcon(icon));
}

VelApplication::~VelApplication() = default;

} // namespace Orvane
