#pragma once

#include "WireProtocol.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

// beanstalkd's text protocol: "put <pri> <delay> <ttr> <bytes>\r\n<data>\r\n",
// answered by one line ("INSERTED <id>" when stored).
//
// Thread: const operations, any thread.
class BeanstalkWire : public WireProtocol
{
public:
    explicit BeanstalkWire(const QString &name);
    QString Name() const override;
    bool Greets() const override;
    QByteArray AddRequest(int n, const QByteArray &document) const override;
    Reply TakeReply(QByteArray &buffer, QString &content) const override;

private:
    QString name;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
