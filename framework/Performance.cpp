#include "Performance.h"

#include "VelCoreApplication.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>

namespace Orvane {

namespace {

QMenu *AddMenu(QMenuBar *bar, const char *objectName, const QString &title)
{
    QMenu *menu = new QMenu(title, bar);
    menu->setObjectName(QLatin1String(objectName));
    bar->addMenu(menu);
    return menu;
}

QAction *AddAction(QMenu *menu, const char *objectName, const QString &text)
{
    QAction *action = new QAction(text, menu);
    action->setObjectName(QLatin1String(objectName));
    menu->addAction(action);
    return action;
}

} // namespace

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

QMenuBar *Performance::getMenuBar()
{
    if (!menuBar)
        menuBar = buildMenuBar();
    return menuBar.data();
}

QMenuBar *Performance::buildMenuBar()
{
    QMenuBar *bar = new QMenuBar;
    QMenu *options = AddMenu(bar, "menuOptions", QStringLiteral("&Options"));
    AddAction(options, "actionConnection_Settings", QStringLiteral("Connection &Settings..."));
    AddAction(options, "actionCheck_Updates", QStringLiteral("Check &Updates..."));
    options->addSeparator();
    QAction *quit = AddAction(options, "action_Quit", QStringLiteral("&Quit"));
    AddMenu(bar, "menuLanguage", QStringLiteral("&Language"));
    QMenu *help = AddMenu(bar, "menuHelp", QStringLiteral("&Help"));
    AddAction(help, "actionAbout", QStringLiteral("&About..."));

    QObject::connect(quit, &QAction::triggered, bar, [] {
        VelCoreApplication *app = VelCoreApplication::instance();
        if (app && app->mainWindow())
            app->mainWindow()->close();
    });
    return bar;
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
