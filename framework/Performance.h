#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QMenuBar;

namespace Orvane {

class VelCoreApplication;

// Settings and the shared menu bar. Owned by the application object.
//
// Thread: GUI thread for getMenuBar; getInt may be called from any thread
// (it only reads the settings store through a QSettings of its own).
class Performance
{
public:
    // nullptr when no VelApplication exists.
    static Performance *instance();

    // The shared menu bar with the menus menuOptions, menuLanguage and
    // menuHelp. Made on first use, and again if the previous one was deleted.
    // Defined in the widget part of the framework (PerformanceMenuBar.cpp).
    QMenuBar *getMenuBar();

    // An integer setting at the top level of the settings store. Missing or
    // not an integer: the default ("maxWorkerCount": 1, others: 0), and *ok
    // is false only in the latter case.
    int getInt(const QString &key, bool *ok = nullptr);

    ~Performance();

private:
    friend class VelCoreApplication;
    Performance() = default;

    static QMenuBar *buildMenuBar();

    QPointer<QObject> menuBar; // a QMenuBar
};

} // namespace Orvane
