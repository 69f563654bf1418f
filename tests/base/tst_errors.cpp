#include "AssertionError.h"
#include "NonFatalError.h"

#include "TestMain.h"

#include <QtTest>

#include <cstring>

using namespace Orvane;

namespace {

int throwLine = 0;

void ThrowAssertion(const QString &text)
{
    throwLine = __LINE__ + 1;
    ORVANE_THROW(AssertionError, text);
}

} // namespace

class TestErrors : public QObject
{
    Q_OBJECT

private slots:
    void assertionCaughtAsEachBase()
    {
        bool caught = false;
        try {
            ThrowAssertion("queue lock lost");
        } catch (const NonFatalError &error) {
            caught = true;
            QCOMPARE(QString::fromUtf8(error.what()), QString("queue lock lost"));
            QCOMPARE(error.line(), throwLine);
            QVERIFY(error.file().endsWith("tst_errors.cpp"));
            QVERIFY(error.function().contains("ThrowAssertion"));
        }
        QVERIFY(caught);

        caught = false;
        try {
            ThrowAssertion("as logic error");
        } catch (const std::logic_error &error) {
            caught = std::strcmp(error.what(), "as logic error") == 0;
        }
        QVERIFY(caught);

        caught = false;
        try {
            ThrowAssertion("as std::exception");
        } catch (const std::exception &error) {
            caught = std::strcmp(error.what(), "as std::exception") == 0;
        }
        QVERIFY(caught);

        caught = false;
        try {
            ThrowAssertion("as site");
        } catch (const ThrowSite &site) {
            caught = site.line() == throwLine;
        }
        QVERIFY(caught);
    }

    void messages()
    {
        QCOMPARE(QString::fromUtf8(NonFatalError(QString()).what()), QString("Unknown exception"));
        QCOMPARE(QString::fromUtf8(AssertionError("").what()), QString("Unknown exception"));
        // Non-ASCII text survives as UTF-8.
        const QString text = QString::fromUtf8("Datei für Auftrag 任务 fehlt");
        QCOMPARE(QString::fromUtf8(NonFatalError(text).what()), text);
        // Built without ORVANE_THROW: no site.
        const NonFatalError plain("x");
        QCOMPARE(plain.line(), 0);
        QVERIFY(plain.file().isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestErrors)
#include "tst_errors.moc"
