#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

namespace Orvane {
namespace Zendral {

// The one way the program reads JSON that comes from outside it: client
// payloads, engine output and its own queue files.
//
// Qt's own parser keeps the memory of a nested array or object that a later
// duplicate key replaces, for good, and a client can repeat that at will. So
// a document is first scanned with RapidJSON's iterative reader (its stack
// lives on the heap, so deep nesting cannot overflow the call stack); one
// with the same key twice in one object, at any depth, nested deeper than
// MaxDepth or with more than MaxMembers members in one object is refused,
// and only then does Qt's parser build it. What is accepted is therefore
// exactly what QJsonDocument::fromJson accepts, less those documents.
// Client payloads read this way (all but ADD_NESTER_JOB's, which has a
// one-pass reader of its own) are at most 4 KiB, so the two passes cost
// little.
//
// Thread: plain functions without shared state; any thread.
class SafeJson
{
public:
    // As deep as Qt's parser lets documents nest.
    static constexpr int MaxDepth = 1024;
    // The largest document QByteArray can hold.
    static constexpr qint64 MaxSize = 0x7fffffff - 32;
    // Members one object may have; more are refused (a key set per open
    // object is kept while scanning, so this bounds its memory).
    static constexpr int MaxMembers = 4096;

    // Parses a whole document. Returns a null document when the text is not
    // valid JSON, is not an object or an array, nests too deep or repeats a
    // key; errorText (when given) then says why and where.
    static QJsonDocument Parse(const QByteArray &text, QString *errorText = nullptr);
    static QJsonDocument Parse(const char *data, qint64 size, QString *errorText = nullptr);
};

} // namespace Zendral
} // namespace Orvane
