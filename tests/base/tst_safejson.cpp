// SafeJson: what Qt's parser takes it takes alike, except repeated keys at
// any depth and nesting beyond Qt's limit, which it refuses without deep
// recursion.

#include "SafeJson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

using namespace Orvane::Zendral;

class SafeJsonTest : public QObject
{
    Q_OBJECT
private slots:
    void sameAsQt_data();
    void sameAsQt();
    void refusals();
};

void SafeJsonTest::sameAsQt_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("object") << QByteArray(R"( {"a":[1,2.5,"x\u00e9",null,true],"b":{"a":1}} )");
    QTest::newRow("array") << QByteArray(R"([{"a":1},{"a":2}])");
    QTest::newRow("bare value") << QByteArray("5");
    QTest::newRow("garbage after") << QByteArray("{} x");
    QTest::newRow("NUL after") << QByteArray("{}\0{}", 5);
    QTest::newRow("bad UTF-8") << QByteArray("{\"a\":\"\xff\"}");
    QTest::newRow("huge number") << QByteArray(R"({"a":1e400})");
    QTest::newRow("empty") << QByteArray();
}

void SafeJsonTest::sameAsQt()
{
    QFETCH(QByteArray, text);
    QJsonParseError error;
    const QJsonDocument qt = QJsonDocument::fromJson(text, &error);
    QString why;
    const QJsonDocument safe = SafeJson::Parse(text, &why);
    QCOMPARE(safe, qt);
    QCOMPARE(why.isEmpty(), error.error == QJsonParseError::NoError);
}

void SafeJsonTest::refusals()
{
    QString why;
    QVERIFY(SafeJson::Parse(R"({"a":[1],"a":2})", &why).isNull());
    QVERIFY2(why.contains("duplicate key"), qPrintable(why));
    // A key written with an escape is the same key.
    QVERIFY(SafeJson::Parse(R"([{"x":{"b":1,"\u0062":2}}])").isNull());
    // Equal keys in different objects are fine.
    QVERIFY(!SafeJson::Parse(R"({"a":{"a":{"a":1}}})").isNull());

    const int limit = SafeJson::MaxDepth;
    const QByteArray deepest = QByteArray(limit, '[') + QByteArray(limit, ']');
    QVERIFY(!SafeJson::Parse(deepest).isNull());
    QVERIFY(SafeJson::Parse('[' + deepest + ']', &why).isNull());
    QVERIFY2(why.contains("too deeply nested"), qPrintable(why));
    // Far deeper than any call stack would take, unclosed too.
    QVERIFY(SafeJson::Parse(QByteArray(4000000, '[')).isNull());
}

QTEST_GUILESS_MAIN(SafeJsonTest)
#include "tst_safejson.moc"
