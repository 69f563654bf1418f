#include "Performance.h"

#include "VelCoreApplication.h"

#include <QSettings>

namespace Orvane {


Performance *Performance::instance()
{
    VelCoreApplication *app = VelCoreApplication::instance();
    return app ? app->performance.get() : nullptr;
}

Performance::~Performance()
{
    // A bar that no window took over is still ours.
    if (menuBar && menuBar->parent() == nullptr)
        delete menuBar.data();
}

int Performance::getInt(const QString &key, bool *ok)
{
    const int fallback = key == QLatin1String("maxWorkerCount") ? 1 : 0;
    const QVariant value = QSettings().value(key);
    bool converted = true;
    int result = fallback;
    if (value.isValid()) {
        result = value.toInt(&converted);
        if (!converted)
            result = fallback;
    }
    if (ok)
        *ok = converted;
    return result;
}

} // namespace Orvane
