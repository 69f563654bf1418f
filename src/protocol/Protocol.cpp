#include "Protocol.h"

#include "Base64Decoder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace Orvane {
namespace Zendral {

namespace {
const QByteArray::Base64Options UrlOptions = QByteArray::Base64UrlEncoding;
} // namespace

QByteArray PackMessage(const QByteArray &body)
{
    QByteArray frame(FrameHeaderSize + body.size(), Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    if (!body.isEmpty())
        memcpy(frame.data() + FrameHeaderSize, body.constData(), size_t(body.size()));
    return frame;
}

void SplitRequest(const QByteArray &message, QByteArray &command, QByteArray &payload)
{
    command.clear();
    payload.clear();
    const int at = message.indexOf('@');
    if (at < 0 || at == message.size() - 1) {
        command = message;
        return;
    }
    if (at == 0)
        return;
    command = message.left(at);
    payload = QByteArray::fromBase64(message.mid(at + 1), UrlOptions);
}

void SplitRequestInPlace(QByteArray &message, QByteArray &command)
{
    command.clear();
    const int at = message.indexOf('@');
    if (at < 0 || at == message.size() - 1) {
        command.swap(message);
        return;
    }
    if (at == 0) {
        message.clear();
        return;
    }
    command = message.left(at);
    // The decoded payload is written from the start of the buffer: it never
    // overtakes the text being read, which starts after the '@'.
    char *data = message.data();
    const qint64 size = Base64Decoder(UrlOptions).Decode(data + at + 1, message.size() - at - 1, data);
    message.truncate(int(size));
}

quint32 AnnouncedLength(const QByteArray &buffer)
{
    if (buffer.size() < FrameHeaderSize)
        return 0;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    return length == 0 ? 1 : length;
}

FrameStatus TakeFrame(QByteArray &buffer, QByteArray &body, quint32 maxBody)
{
    if (buffer.size() < FrameHeaderSize)
        return FrameStatus::Incomplete;
    const quint32 length = AnnouncedLength(buffer);
    if (length > maxBody)
        return FrameStatus::TooLarge;
    if (quint64(buffer.size()) < quint64(FrameHeaderSize) + length)
        return FrameStatus::Incomplete;
    body = buffer.mid(FrameHeaderSize, int(length));
    buffer.remove(0, FrameHeaderSize + int(length));
    return FrameStatus::Complete;
}

quint32 MissingBytes(const QByteArray &buffer)
{
    if (buffer.size() < FrameHeaderSize)
        return quint32(FrameHeaderSize - buffer.size());
    const quint64 whole = quint64(FrameHeaderSize) + AnnouncedLength(buffer);
    return whole > quint64(buffer.size()) ? quint32(whole - quint64(buffer.size())) : 0;
}

QByteArray EncodeRequest(const QByteArray &command, const QByteArray &payload)
{
    return command + '@' + payload.toBase64(UrlOptions);
}

// Written directly, in the member order Qt's JSON writer uses (sorted): a
// QJsonObject would copy the content twice more.
QByteArray EncodeReply(bool state, const QString &content)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const QByteArray utf8 = content.toUtf8();
    writer.StartObject();
    writer.Key("content");
    writer.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
    writer.Key("state");
    writer.Bool(state);
    writer.EndObject();
    return QByteArray::fromRawData(buffer.GetString(), int(buffer.GetSize())).toBase64(UrlOptions);
}

bool DecodeReply(const QByteArray &body, bool &state, QString &content)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromBase64(body, UrlOptions), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    if (!object.value(QStringLiteral("state")).isBool())
        return false;
    state = object.value(QStringLiteral("state")).toBool();
    content = object.value(QStringLiteral("content")).toString();
    return true;
}

} // namespace Zendral
} // namespace Orvane
