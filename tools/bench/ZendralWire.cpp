#include "ZendralWire.h"

#include "Protocol.h"
#include "ProtocolCommands.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// Replies carry at most a list of one client's jobs here.
constexpr quint32 MaxReplySize = 64u * 1024u * 1024u;
constexpr int JobSeconds = 90;
} // namespace

QString ZendralWire::Name() const
{
    return QStringLiteral("Zendral");
}

bool ZendralWire::Greets() const
{
    return true;
}

QByteArray ZendralWire::AddRequest(int n, const QByteArray &document) const
{
    return AddNamed(QStringLiteral("bench-%1.aex").arg(n), document);
}

QByteArray ZendralWire::AddNamed(const QString &jobName, const QByteArray &document) const
{
    // {"job_name":...,"time":90,"work_data":"<standard Base64>"}, assembled
    // around the Base64 text so that a large document is not copied once more
    // through a JSON object.
    QByteArray json = QJsonDocument(QJsonObject{{QStringLiteral("job_name"), jobName},
                                                {QStringLiteral("time"), JobSeconds}})
                          .toJson(QJsonDocument::Compact);
    json.chop(1); // the closing brace
    json += ",\"work_data\":\"";
    json += document.toBase64();
    json += "\"}";
    return PackMessage(EncodeRequest(Command::AddNesterJob, json));
}

QByteArray ZendralWire::ListRequest() const
{
    return PackMessage(EncodeRequest(Command::GetNesterJobList, QByteArray()));
}

QByteArray ZendralWire::InitRequest() const
{
    return PackMessage(EncodeRequest(Command::InitSession, QByteArray()));
}

WireProtocol::Reply ZendralWire::TakeReply(QByteArray &buffer, QString &content) const
{
    QByteArray body;
    switch (TakeFrame(buffer, body, MaxReplySize)) {
    case FrameStatus::Incomplete:
        return Reply::Incomplete;
    case FrameStatus::TooLarge:
        return Reply::Garbled;
    case FrameStatus::Complete:
        break;
    }
    bool state = false;
    if (!DecodeReply(body, state, content))
        return Reply::Garbled;
    return state ? Reply::Accepted : Reply::Refused;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
