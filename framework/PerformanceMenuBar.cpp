// The widget half of Performance: the shared menu bar. Kept apart from
// Performance.cpp so that the framework's core part links no widget library.
#include "Performance.h"

#include "VelCoreApplication.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

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

QMenuBar *Performance::getMenuBar()
{
    if (!menuBar)
        menuBar = buildMenuBar();
    return static_cast<QMenuBar *>(menuBar.data());
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

} // namespace Orvane
