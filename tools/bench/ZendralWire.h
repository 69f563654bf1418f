#pragma once

#include "WireProtocol.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

// The job service's client protocol: framed requests COMMAND@Base64url, one
// framed JSON reply each, a greeting on connect.
//
// Thread: const operations, any thread.
class ZendralWire : public WireProtocol
{
public:
    QString Name() const override;
    bool Greets() const override;
    // ADD_NESTER_JOB of "bench-<n>.aex" with a 90-second budget.
    QByteArray AddRequest(int n, const QByteArray &document) const override;
    Reply TakeReply(QByteArray &buffer, QString &content) const override;

    // ADD_NESTER_JOB of `document` under the file name `jobName`.
    QByteArray AddNamed(const QString &jobName, const QByteArray &document) const;
    // GET_NESTER_JOB_LIST with an empty job name.
    QByteArray ListRequest() const;
    QByteArray InitRequest() const;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
