// The bounded tail of an engine's standard error: what is kept of a long
// stream, how control characters are made safe, and the last line.
#include "EngineErrorTail.h"

#include <QtTest>

using Orvane::Zendral::EngineErrorTail;

class TestEngineErrorTail : public QObject
{
    Q_OBJECT
private slots:
    // However much the engine writes, in whatever pieces, the tail keeps at
    // most the limit, ends with the last line and starts with a whole one.
    void longStreamKeepsWholeLastLines()
    {
        EngineErrorTail tail;
        for (int i = 0; i < 20000; ++i)
            tail.Append(QByteArray("line ") + QByteArray::number(i) + (i % 3 ? "\n" : "\r\n"));
        const QString text = tail.Text();
        QVERIFY(text.size() <= EngineErrorTail::DefaultLimit);
        QVERIFY(text.size() > EngineErrorTail::DefaultLimit / 2);
        QVERIFY2(text.startsWith(QStringLiteral("line ")), qPrintable(text.left(20)));
        QVERIFY(text.endsWith(QStringLiteral("line 19999\n")));
        QVERIFY(!text.contains(QLatin1Char('\r')));
        QCOMPARE(tail.LastLine(), QStringLiteral("line 19999"));
    }

    // One line longer than the limit is kept as its end, not dropped; a
    // short tail is kept whole.
    void oneLongLineKeepsItsEnd()
    {
        EngineErrorTail tail(16);
        tail.Append("first\n");
        QCOMPARE(tail.Text(), QStringLiteral("first\n"));
        tail.Append(QByteArray(40, 'x') + "END");
        QCOMPARE(tail.Text(), QString(13, QLatin1Char('x')) + QStringLiteral("END"));
    }

    // Terminal escapes, NULs and tabs come out as \xNN; UTF-8 text stays;
    // an escaped text still keeps to the limit.
    void controlCharactersEscaped()
    {
        EngineErrorTail tail;
        tail.Append(QByteArray("a\tb\x1b[0m\r\nn\xc3\xa4" "chste", 17));
        tail.Append(QByteArray("\0x\n\n  \n", 7));
        QCOMPARE(tail.Text(), QStringLiteral("a\\x09b\\x1b[0m\nn\u00e4chste\\x00x\n\n  \n"));
        QCOMPARE(tail.LastLine(), QStringLiteral("n\u00e4chste\\x00x"));

        EngineErrorTail bounded(32);
        bounded.Append(QByteArray(30, '\x01'));
        QCOMPARE(bounded.Text(), QStringLiteral("\\x01").repeated(8));
    }
};

QTEST_GUILESS_MAIN(TestEngineErrorTail)
#include "tst_engineerrortail.moc"
