#pragma once

#include <QByteArray>
#include <QList>

namespace Orvane {
namespace Zendral {

// Splits the engine's standard output into its JSON documents: one per line
// or back to back, in whatever pieces the output arrives. A complete
// document is handed out whole and in order; a partial one waits for the
// rest; anything else (plain text, a broken document) is skipped without
// losing the documents around it.
//
// Thread: one parser per engine run, used on the runner's thread (GUI).
class EngineOutputParser
{
public:
    // A partial document longer than this is dropped as garbage, so that
    // output without an end cannot grow the buffer without bound.
    static constexpr int MaxDocumentSize = 4 * 1024 * 1024;

    // Appends output and returns the complete documents it finished, in
    // order (each the bytes of one JSON object or array). Skipped garbage
    // is added to `skipped`.
    QList<QByteArray> Feed(const QByteArray &output);
    // Ends the stream: whatever waits is garbage now. Returns its size.
    int Finish();

    // Bytes skipped as garbage so far, and a short sample of the last.
    qint64 Skipped() const { return skipped; }
    QByteArray LastGarbage() const { return lastGarbage; }

private:
    // Scans one document from `start`; returns the index after its end, or
    // -1 when it is not complete yet.
    int DocumentEnd(int start);
    void Skip(int from, int to);

    QByteArray buffer;
    // Scan state of the document that starts at buffer[0], kept between
    // calls so that a long document is scanned once.
    int scanned = 0;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    qint64 skipped = 0;
    QByteArray lastGarbage;
};

} // namespace Zendral
} // namespace Orvane
