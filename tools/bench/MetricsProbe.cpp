#include "MetricsProbe.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QTcpSocket>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int WaitMs = 10000;
} // namespace

qint64 MetricsProbe::Counter(quint16 port, const QByteArray &name)
{
    if (port == 0)
        return -1;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(WaitMs))
        return -1;
    // HTTP/1.0: the server closes the connection after the reply.
    socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray reply;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < WaitMs) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(WaitMs - waited.elapsed())))
            break;
        reply += socket.readAll();
    }
    reply += socket.readAll();
    if (!reply.startsWith("HTTP/1.") || !reply.contains(" 200 "))
        return -1;
    const int body = reply.indexOf("\r\n\r\n");
    return body < 0 ? -1 : CounterIn(reply.mid(body + 4), name);
}

// Lines "name value" or "name{labels} value"; comments start with "#".
qint64 MetricsProbe::CounterIn(const QByteArray &text, const QByteArray &name)
{
    qint64 sum = -1;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(name))
            continue;
        const char next = line.size() > name.size() ? line.at(name.size()) : '\0';
        if (next != ' ' && next != '{')
            continue;
        bool ok = false;
        const qint64 value = line.mid(line.lastIndexOf(' ') + 1).trimmed().toLongLong(&ok);
        if (ok)
            sum = qMax<qint64>(sum, 0) + value;
    }
    return sum;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
