#pragma once

#include <QStandardPaths>
#include <QtTest>

#if __has_include("VelApplication.h") && __has_include(<QApplication>)
#include "VelApplication.h"
#endif

// Like QTEST_MAIN, but the application object is the framework's
// VelApplication (so VelCoreApplication::instance() and
// Performance::instance() exist), named "Zendral", with QStandardPaths in
// test mode. Link zendral_framework.
#define ZENDRAL_VEL_TEST_MAIN(TestClass)                            \
    int main(int argc, char *argv[])                                \
    {                                                               \
        QStandardPaths::setTestModeEnabled(true);                   \
        Orvane::VelApplication app(argc, argv);                     \
        app.setApplicationName(QStringLiteral("Zendral"));          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                    \
        TestClass tc;                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                  \
        return QTest::qExec(&tc, argc, argv);                       \
    }

// The same for tests of code without windows: a plain core application named
// like the program (organisation "Orvane", application "Zendral"), so that
// settings and data folders are the ones the service uses.
#define ZENDRAL_CORE_TEST_MAIN(TestClass)                           \
    int main(int argc, char *argv[])                                \
    {                                                               \
        QStandardPaths::setTestModeEnabled(true);                   \
        QCoreApplication app(argc, argv);                           \
        app.setOrganizationName(QStringLiteral("Orvane"));          \
        app.setApplicationName(QStringLiteral("Zendral"));          \
        TestClass tc;                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                  \
        return QTest::qExec(&tc, argc, argv);                       \
    }
