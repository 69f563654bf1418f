#include "BeanstalkWire.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// A reply line is short; a longer one without its end is not beanstalkd.
constexpr int MaxLine = 1024;
} // namespace

BeanstalkWire::BeanstalkWire(const QString &name)
    : name(name)
{
}

QString BeanstalkWire::Name() const
{
    return name;
}

bool BeanstalkWire::Greets() const
{
    return false;
}

QByteArray BeanstalkWire::AddRequest(int, const QByteArray &document) const
{
    // Priority 1024, no delay, 60 seconds to run.
    return "put 1024 0 60 " + QByteArray::number(document.size()) + "\r\n" + document + "\r\n";
}

WireProtocol::Reply BeanstalkWire::TakeReply(QByteArray &buffer, QString &content) const
{
    const int end = buffer.indexOf("\r\n");
    if (end < 0)
        return buffer.size() > MaxLine ? Reply::Garbled : Reply::Incomplete;
    const QByteArray line = buffer.left(end);
    buffer.remove(0, end + 2);
    if (line.startsWith("INSERTED ")) {
        content = QString::fromLatin1(line.mid(9));
        return Reply::Accepted;
    }
    content = QString::fromLatin1(line); // BURIED, JOB_TOO_BIG, OUT_OF_MEMORY, ...
    return Reply::Refused;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
