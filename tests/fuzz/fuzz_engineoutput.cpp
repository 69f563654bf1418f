// The engine output parser: the documents found in output fed in pieces
// (cut where the input says) are the documents found in the same output fed
// whole, so none is lost or split; each is then read through SafeJson, as
// the engine runner reads it, and SafeJson takes only what Qt takes.
#include "EngineOutputParser.h"
#include "FuzzSupport.h"
#include "SafeJson.h"

using namespace Orvane::Zendral;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (FuzzSupport::QuietMessages(), true);
    Q_UNUSED(quiet)
    if (size < 1)
        return 0;
    // The first byte chooses the cuts; the rest is the output.
    const int step = 1 + data[0] % 13;
    const QByteArray output = FuzzSupport::Bytes(data + 1, size - 1);

    EngineOutputParser whole;
    const QList<QByteArray> expected = whole.Feed(output);
    EngineOutputParser pieces;
    QList<QByteArray> found;
    for (int at = 0; at < output.size(); at += step)
        found += pieces.Feed(output.mid(at, step));
    FUZZ_CHECK(found == expected);
    FUZZ_CHECK(pieces.Finish() == whole.Finish());

    for (const QByteArray &document : found) {
        FUZZ_CHECK(!document.isEmpty() && (document.startsWith('{') || document.startsWith('[')));
        if (!SafeJson::Parse(document).isNull())
            FUZZ_CHECK(!QJsonDocument::fromJson(document).isNull());
    }
    return 0;
}
