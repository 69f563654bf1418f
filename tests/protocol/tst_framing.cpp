// The protocol's framing and encodings, as plain functions over bytes.

#include "Base64Decoder.h"
#include "Protocol.h"

#include <QRandomGenerator>
#include <QtTest>

#include "TestMain.h"

using namespace Orvane::Zendral;

class FramingTest : public QObject
{
    Q_OBJECT
private slots:
    void packMessage();
    void splitRequest_data();
    void splitRequest();
    void base64Decoder();
    void takeFrame();
    void takeFrameLimits();
    void replies();
};

void FramingTest::packMessage()
{
    QCOMPARE(PackMessage(QByteArray()), QByteArray("\0\0\0\0", 4));
    const QByteArray body(0x10304, 'x');
    const QByteArray frame = PackMessage(body);
    QCOMPARE(frame.size(), body.size() + 4);
    QCOMPARE(frame.left(4), QByteArray("\x00\x01\x03\x04", 4));
    QCOMPARE(frame.mid(4), body);
}

void FramingTest::splitRequest_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("payload");
    const QByteArray nul(1, '\0');
    QTest::newRow("command and url payload")
        << QByteArray("REMOVE_NESTER_JOB@") + QByteArray("a>b?c~").toBase64(QByteArray::Base64UrlEncoding) + nul
        << QByteArray("REMOVE_NESTER_JOB") << QByteArray("a>b?c~");
    QTest::newRow("empty payload with NUL")
        << QByteArray("LOGOUT_SESSION@") + nul << QByteArray("LOGOUT_SESSION") << QByteArray();
    QTest::newRow("bare command keeps NUL")
        << QByteArray("LOGOUT_SESSION") + nul << QByteArray("LOGOUT_SESSION") + nul << QByteArray();
    QTest::newRow("at sign last") << QByteArray("INIT_SESSION@") << QByteArray("INIT_SESSION@") << QByteArray();
    QTest::newRow("at sign first") << QByteArray("@SW5JVA==") << QByteArray() << QByteArray();
    // "+/8=" in the standard alphabet: '+' and '/' are skipped by the url decoder.
    QTest::newRow("standard alphabet loses + and /")
        << QByteArray("X@+/8=") << QByteArray("X") << QByteArray::fromBase64("8", QByteArray::Base64UrlEncoding);
}

void FramingTest::splitRequest()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, payload);
    QByteArray gotCommand("stale"), gotPayload("stale");
    SplitRequest(message, gotCommand, gotPayload);
    QCOMPARE(gotCommand, command);
    QCOMPARE(gotPayload, payload);
    // The in-place split: the message becomes the payload.
    QByteArray inPlace = message;
    SplitRequestInPlace(inPlace, gotCommand);
    QCOMPARE(gotCommand, command);
    QCOMPARE(inPlace, payload);
}

// The in-place and piecewise decoders give what QByteArray::fromBase64
// gives, on Base64 with noise, padding and both alphabets mixed in.
void FramingTest::base64Decoder()
{
    QRandomGenerator random(9);
    for (int round = 0; round < 200; ++round) {
        QByteArray text = QByteArray::number(random.generate64()).toBase64() + "-_+/= \n";
        for (int i = int(random.bounded(40)); i > 0; --i)
            text.insert(int(random.bounded(text.size() + 1)), char(random.bounded(256)));
        for (auto options : {QByteArray::Base64Encoding, QByteArray::Base64UrlEncoding}) {
            const QByteArray expected = QByteArray::fromBase64(text, options);
            QByteArray inPlace = text;
            inPlace.truncate(int(Base64Decoder::DecodeInPlace(inPlace.data(), inPlace.size(), options)));
            QCOMPARE(inPlace, expected);
            Base64Decoder decoder(options);
            QByteArray pieces;
            char out[8];
            for (int at = 0; at < text.size(); at += 3)
                pieces.append(out, int(decoder.Decode(text.constData() + at, qMin(3, text.size() - at), out)));
            QCOMPARE(pieces, expected);
        }
    }
}

void FramingTest::takeFrame()
{
    const QByteArray first = PackMessage("first");
    const QByteArray second = PackMessage("second-body");
    QByteArray stream = first + second;
    QByteArray body;

    // Byte by byte: incomplete until each frame is whole; the next frame's
    // bytes stay in the buffer.
    QByteArray buffer;
    QList<QByteArray> bodies;
    for (char c : qAsConst(stream)) {
        buffer.append(c);
        const quint32 missing = MissingBytes(buffer);
        const FrameStatus status = TakeFrame(buffer, body);
        QCOMPARE(status == FrameStatus::Complete, missing == 0);
        if (status == FrameStatus::Complete)
            bodies << body;
    }
    QCOMPARE(bodies, (QList<QByteArray>{"first", "second-body"}));
    QVERIFY(buffer.isEmpty());

    // Two frames at once: one taken per call.
    buffer = stream;
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::Complete);
    QCOMPARE(body, QByteArray("first"));
    QCOMPARE(buffer, second);

    // A header announcing 0 reads as 1.
    buffer = QByteArray("\0\0\0\0", 4);
    QCOMPARE(AnnouncedLength(buffer), 1u);
    QCOMPARE(MissingBytes(buffer), 1u);
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::Incomplete);
    buffer.append("Z");
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::Complete);
    QCOMPARE(body, QByteArray("Z"));
}

void FramingTest::takeFrameLimits()
{
    QByteArray body("untouched");
    // 300 MiB announced: refused from the header alone, buffer unchanged.
    QByteArray buffer("\x12\xC0\x00\x00partial", 11);
    const QByteArray before = buffer;
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::TooLarge);
    QCOMPARE(buffer, before);
    QCOMPARE(body, QByteArray("untouched"));
    // Exactly the limit is allowed; one byte more is not.
    buffer = QByteArray("\x10\x00\x00\x00", 4);
    QCOMPARE(AnnouncedLength(buffer), MaxBodySize);
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::Incomplete);
    QCOMPARE(MissingBytes(buffer), MaxBodySize);
    buffer = QByteArray("\x10\x00\x00\x01", 4);
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::TooLarge);
    buffer = QByteArray("\xff\xff\xff\xff", 4);
    QCOMPARE(TakeFrame(buffer, body), FrameStatus::TooLarge);
    QCOMPARE(TakeFrame(buffer, body, 0xffffffffu), FrameStatus::Incomplete);
}

void FramingTest::replies()
{
    // The greeting's body: 52 url-safe characters ending in "==", decoding to
    // the 37-byte compact JSON text.
    const QByteArray greeting = EncodeReply(true, QStringLiteral("Welcome..."));
    QCOMPARE(greeting.size(), 52);
    QVERIFY(greeting.endsWith("=="));
    QCOMPARE(QByteArray::fromBase64(greeting, QByteArray::Base64UrlEncoding),
             QByteArray("{\"content\":\"Welcome...\",\"state\":true}"));

    bool state = true;
    QString content;
    const QString text = QStringLiteral("?>>\u00e9\u4e2d");
    const QByteArray encoded = EncodeReply(false, text);
    QVERIFY(!encoded.contains('+') && !encoded.contains('/'));
    QVERIFY(DecodeReply(encoded, state, content));
    QCOMPARE(state, false);
    QCOMPARE(content, text);
    // A list's JSON inside the content, and text JSON must escape.
    const QString escaped = QStringLiteral("[{\"job_name\":\"a\\\\b\"}]\n\t\r\b\f\x01\x1f\u2028\U0001F600/");
    QVERIFY(DecodeReply(EncodeReply(true, escaped), state, content));
    QCOMPARE(state, true);
    QCOMPARE(content, escaped);

    QVERIFY(!DecodeReply("not base64 json", state, content));
    QVERIFY(!DecodeReply(QByteArray("[true]").toBase64(QByteArray::Base64UrlEncoding), state, content));
    QVERIFY(!DecodeReply(QByteArray("{\"state\":1}").toBase64(QByteArray::Base64UrlEncoding), state, content));

    QCOMPARE(EncodeRequest("PICKUP_NESTER_JOB", QByteArray("\xfb\xff", 2)), QByteArray("PICKUP_NESTER_JOB@-_8="));
}

QTEST_APPLESS_MAIN(FramingTest)
#include "tst_framing.moc"
