#include "EngineErrorTail.h"

#include <QStringList>

namespace Orvane {
namespace Zendral {

EngineErrorTail::EngineErrorTail(int limit)
    : limit(qMax(1, limit))
{
}

// The buffer is trimmed once it holds twice the limit, so that a chatty
// engine costs one copy per `limit` bytes, not one per write.
void EngineErrorTail::Append(const QByteArray &bytes)
{
    tail += bytes;
    if (tail.size() > 2 * limit) {
        tail = tail.right(limit);
        cut = true;
    }
}

void EngineErrorTail::Clear()
{
    tail.clear();
    cut = false;
}

// Line ends (\n, \r\n) stay; tabs and every other control character become
// \xNN, so that a stored tail never carries terminal escapes or NULs.
QString EngineErrorTail::Escaped(const QByteArray &bytes)
{
    QByteArray lines = bytes;
    lines.replace("\r\n", "\n");
    const QString text = QString::fromUtf8(lines.constData(), lines.size()); // NULs included
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\n' || (u >= 0x20 && u != 0x7f && !(u >= 0x80 && u < 0xa0)))
            out += c;
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

QString EngineErrorTail::Text() const
{
    QByteArray bytes = tail.right(limit);
    const bool front_cut = cut || bytes.size() < tail.size();
    QString text = Escaped(bytes);
    bool partial = front_cut;
    if (text.size() > limit) { // escapes made it longer
        text = text.right(limit);
        partial = true;
    }
    const int firstEnd = text.indexOf(QLatin1Char('\n'));
    if (partial && firstEnd >= 0 && firstEnd + 1 < text.size())
        text = text.mid(firstEnd + 1);
    return text;
}

QString EngineErrorTail::LastLine() const
{
    const QStringList lines = Text().split(QLatin1Char('\n'));
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString line = lines.at(i).trimmed();
        if (!line.isEmpty())
            return line;
    }
    return QString();
}

} // namespace Zendral
} // namespace Orvane
