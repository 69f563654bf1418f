#pragma once

#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class QMainWindow;
class QTranslator;

namespace Orvane {

template <typename T> using QListEx = QList<T>;

class Performance;

// The application-wide services of the framework: command line, languages,
// build number and the registered main window. The one object is the
// VelApplication (this class is its second base).
//
// Thread: GUI thread only.
class VelCoreApplication
{
public:
    // The VelApplication object, or nullptr when none exists.
    static VelCoreApplication *instance();

    // Handles "--help" and "--version" itself (prints to standard output,
    // returns 0); -1 for every other command line: start normally. Needs no
    // application object, only the application name set beforehand, so that
    // start-up can answer these before the widget application (which needs a
    // display) exists.
    static int processCommandLine(const QStringList &arguments);

    // Switches the interface language (empty code: the system locale's).
    // With store, the code is kept under the settings key "language"; without
    // it, an empty code applies the stored language instead.
    void setLanguage(const QString &code, bool store);

    // ("", "<Auto>") first, then one (code, native name) per embedded
    // translation, sorted by code.
    static QListEx<QPair<QString, QString>> availableLanguages();

    static QString buildNumber();

    // The registered main window. Defined in the widget part of the
    // framework (VelCoreApplicationWindow.cpp), so that a program without
    // windows links no widget library.
    void setMainWindow(QMainWindow *window);
    QMainWindow *mainWindow() const;

    // Extra texts handed to the updater at start-up. This framework supplies
    // none, so both are empty.
    QString updaterFirstText() const;
    QString updaterSecondText() const;

protected:
    VelCoreApplication();
    virtual ~VelCoreApplication();

private:
    friend class Performance;

    void removeTranslators();
    static QTranslator *loadTranslator(const QString &folder, const QString &prefix,
                                       const QString &code);

    QPointer<QObject> window; // a QMainWindow
    std::unique_ptr<QTranslator> appTranslator;
    std::unique_ptr<QTranslator> qtTranslator;
    std::unique_ptr<Performance> performance;
};

} // namespace Orvane
