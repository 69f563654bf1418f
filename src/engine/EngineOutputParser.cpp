#include "EngineOutputParser.h"

namespace Orvane {
namespace Zendral {

namespace {
bool IsSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
constexpr int GarbageSample = 80;
} // namespace

QList<QByteArray> EngineOutputParser::Feed(const QByteArray &output)
{
    QList<QByteArray> documents;
    buffer += output;
    for (;;) {
        // Leading white space separates documents.
        int start = 0;
        while (start < buffer.size() && IsSpace(buffer.at(start)))
            ++start;
        if (start > 0) {
            buffer.remove(0, start);
            scanned = 0;
        }
        if (buffer.isEmpty())
            break;
        const char first = buffer.at(0);
        if (first != '{' && first != '[') {
            // Garbage up to the next line or the next document start.
            int end = 1;
            while (end < buffer.size() && buffer.at(end) != '\n' && buffer.at(end) != '{'
                   && buffer.at(end) != '[')
                ++end;
            Skip(0, end);
            continue;
        }
        const int end = DocumentEnd(0);
        if (end < 0) {
            if (buffer.size() > MaxDocumentSize)
                Skip(0, buffer.size());
            break;
        }
        documents << buffer.left(end);
        buffer.remove(0, end);
        scanned = 0;
    }
    return documents;
}

int EngineOutputParser::Finish()
{
    const int left = buffer.size();
    if (left > 0)
        Skip(0, left);
    return left;
}

// Brackets inside strings do not count; an escaped quote does not end one.
int EngineOutputParser::DocumentEnd(int start)
{
    if (scanned == 0) {
        depth = 0;
        inString = false;
        escaped = false;
        scanned = start;
    }
    for (; scanned < buffer.size(); ++scanned) {
        const char c = buffer.at(scanned);
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0)
                return ++scanned;
        }
    }
    return -1;
}

void EngineOutputParser::Skip(int from, int to)
{
    lastGarbage = buffer.mid(from, qMin(to - from, GarbageSample));
    skipped += to - from;
    buffer.remove(from, to - from);
    scanned = 0;
}

} // namespace Zendral
} // namespace Orvane
