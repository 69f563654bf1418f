#pragma once

#include <QByteArray>
#include <QString>

namespace Orvane {
namespace Zendral {

// The last lines an engine wrote to its standard error, bounded: only the
// last `limit` bytes are kept, however much the engine writes. Read as
// text (UTF-8, invalid bytes replaced) with control characters other than
// the line ends escaped as \xNN, so that the tail is safe to store in a
// record, a log file or a window.
//
// Thread: one thread at a time (the runner's, the GUI thread).
class EngineErrorTail
{
public:
    static const int DefaultLimit = 4096;

    explicit EngineErrorTail(int limit = DefaultLimit);

    void Append(const QByteArray &bytes);
    void Clear();

    // The kept lines as text, at most `limit` characters; a line cut at the
    // front by the limit is left out unless it is the only one.
    QString Text() const;
    // The last line that is not blank, escaped as Text; empty when none.
    QString LastLine() const;

private:
    static QString Escaped(const QByteArray &bytes);

    QByteArray tail;
    int limit;
    bool cut = false; // bytes before the tail were dropped
};

} // namespace Zendral
} // namespace Orvane
