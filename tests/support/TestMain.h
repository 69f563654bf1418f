#pragma once

#include <QStandardPaths>
#include <QtTest>

#if __has_include("VelApplication.h")
#include "VelApplication.h"
#endif

// ThreadSanitizer builds: Qt 5 as installed is not built with the sanitizer,
// and its QMutex works on futexes the sanitizer cannot see. The hand-over
// between a finishing QThread and the thread that waits for it and deletes
// it (QWaitCondition) therefore looks like a race although QMutex orders it;
// the same holds for the C library's internal lock around tzset() and for
// Qt Test's own watchdog thread (the calls it makes are not watched). These
// reports, and only these, are suppressed. Put ZENDRAL_TSAN_SUPPRESSIONS()
// once in a test's main source file (ZENDRAL_VEL_TEST_MAIN does so).
#if defined(__SANITIZE_THREAD__)
#define ZENDRAL_TSAN_SUPPRESSIONS()                                 \
    extern "C" const char *__tsan_default_suppressions();           \
    extern "C" const char *__tsan_default_suppressions()            \
    {                                                               \
        return "race:QWaitCondition::~QWaitCondition\n"            \
               "race:tzset_internal\n"                              \
               "called_from_lib:libQt5Test.so.5\n";                 \
    }
#else
#define ZENDRAL_TSAN_SUPPRESSIONS()
#endif

// Like QTEST_MAIN, but the application object is the framework's
// VelApplication (so VelCoreApplication::instance() and
// Performance::instance() exist), named "Zendral", with QStandardPaths in
// test mode. Link zendral_framework.
#define ZENDRAL_VEL_TEST_MAIN(TestClass)                            \
    ZENDRAL_TSAN_SUPPRESSIONS()                                     \
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
