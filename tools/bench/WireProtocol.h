#pragma once

#include <QByteArray>
#include <QString>

namespace Orvane {
namespace Zendral {
namespace Bench {

// How one server kind writes an add and answers it. The clients, the timing
// and the counting are the same for every server; only these bytes differ.
//
// Thread: const operations, any thread.
class WireProtocol
{
public:
    enum class Reply { Incomplete, Accepted, Refused, Garbled };

    virtual ~WireProtocol() = default;
    // Short name for the report, e.g. "Zendral".
    virtual QString Name() const = 0;
    // Whether the server greets a new connection with a reply of its own.
    virtual bool Greets() const = 0;
    // The bytes of one add request for the n-th document of the run.
    virtual QByteArray AddRequest(int n, const QByteArray &document) const = 0;
    // Takes one reply from the front of `buffer`; `content` is the server's
    // text (a job id for an accepted add).
    virtual Reply TakeReply(QByteArray &buffer, QString &content) const = 0;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
