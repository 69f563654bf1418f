// Frames and requests: a packed body comes back whole, taking a frame leaves
// exactly the rest, the in-place split equals the copying one, and the
// in-place and piecewise Base64 decoders equal QByteArray::fromBase64.
#include "Base64Decoder.h"
#include "FuzzSupport.h"
#include "Protocol.h"

#include <algorithm>

using namespace Orvane::Zendral;

namespace {

void CheckDecoders(const QByteArray &text, QByteArray::Base64Options options, const uint8_t *data, size_t size)
{
    const QByteArray expected = QByteArray::fromBase64(text, options);
    QByteArray inPlace = text;
    inPlace.truncate(int(Base64Decoder::DecodeInPlace(inPlace.data(), inPlace.size(), options)));
    FUZZ_CHECK(inPlace == expected);

    // In pieces whose sizes come from the input itself.
    Base64Decoder decoder(options);
    QByteArray pieces;
    QByteArray out(text.size() + 4, Qt::Uninitialized);
    int at = 0;
    for (size_t i = 0; at < text.size(); ++i) {
        const int take = std::min<int>(text.size() - at, 1 + (size ? data[i % size] % 7 : 0));
        pieces.append(out.constData(), int(decoder.Decode(text.constData() + at, take, out.data())));
        at += take;
    }
    FUZZ_CHECK(pieces == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::Bytes(data, size);

    // A frame taken from the input is its announced length, and the rest
    // stays behind untouched.
    QByteArray buffer = input;
    QByteArray body;
    const FrameStatus status = TakeFrame(buffer, body, 1u << 20);
    if (status == FrameStatus::Complete) {
        FUZZ_CHECK(quint32(body.size()) == AnnouncedLength(input));
        FUZZ_CHECK(input.mid(FrameHeaderSize, body.size()) == body);
        FUZZ_CHECK(buffer == input.mid(FrameHeaderSize + body.size()));
    } else {
        FUZZ_CHECK(buffer == input);
        FUZZ_CHECK(status == FrameStatus::TooLarge || MissingBytes(input) > 0);
    }

    // A packed body comes back whole, also with more bytes after it.
    if (!input.isEmpty()) {
        QByteArray framed = PackMessage(input) + "tail";
        FUZZ_CHECK(TakeFrame(framed, body, MaxBodySize) == FrameStatus::Complete);
        FUZZ_CHECK(body == input && framed == "tail");
    }

    // The in-place split gives what the copying split gives.
    QByteArray command;
    QByteArray payload;
    SplitRequest(input, command, payload);
    QByteArray message = input;
    QByteArray inPlaceCommand;
    SplitRequestInPlace(message, inPlaceCommand);
    FUZZ_CHECK(inPlaceCommand == command);
    FUZZ_CHECK(message == payload);

    CheckDecoders(input, QByteArray::Base64Encoding, data, size);
    CheckDecoders(input, QByteArray::Base64UrlEncoding, data, size);
    return 0;
}
