#pragma once

#include <QByteArray>
#include <QString>

// Framing and encodings of the client protocol, shared by the job service's
// sessions and the command-line client. Plain functions over bytes: no
// sockets, no threads, safe to call from any thread.
//
// A frame is a 4-byte big-endian length N followed by N bytes of body.
// A request body is COMMAND '@' Base64url(payload); a reply body is
// Base64url of the compact JSON object {"content":..., "state":...}.
namespace Orvane {
namespace Zendral {

// The largest request body the service accepts.
constexpr quint32 MaxBodySize = 256u * 1024u * 1024u;
// Size of the length header.
constexpr int FrameHeaderSize = 4;
// The longest "job_name" (UTF-8 bytes, as a plain file name) the service
// takes: with the suffixes the service and the engine add to the job file's
// name (18 bytes at most) it stays within the 255 bytes file systems allow
// per name, the rest being a margin. Clients keep their names within it.
constexpr int MaxJobNameBytes = 230;

enum class FrameStatus { Incomplete, Complete, TooLarge };

// Frames a body: the 4-byte big-endian length, then the body.
QByteArray PackMessage(const QByteArray &body);

// Splits a request body at its first '@': the command is the bytes before it,
// the payload the Base64url decoding of the bytes after it. Without '@' (or
// with '@' as the last byte) the command is the whole message and the payload
// is empty; with '@' as the first byte both stay empty.
void SplitRequest(const QByteArray &message, QByteArray &command, QByteArray &payload);

// SplitRequest without a second copy of the payload: the command is copied
// out and `message` itself becomes the payload, decoded in place.
void SplitRequestInPlace(QByteArray &message, QByteArray &command);

// The body length a complete header announces. A header announcing 0 counts
// as 1, as the service has always read it.
quint32 AnnouncedLength(const QByteArray &buffer);

// Takes one frame from the front of `buffer`. Complete: `body` holds the
// frame's body and the frame is removed from `buffer`. Incomplete: more bytes
// are needed; nothing changes. TooLarge: the header announces more than
// `maxBody` bytes; nothing changes and the caller should drop the connection.
FrameStatus TakeFrame(QByteArray &buffer, QByteArray &body, quint32 maxBody = MaxBodySize);

// How many more bytes `buffer` needs before its first frame is complete
// (0 when it is complete already). Lets a reader take no more than one frame
// from its socket.
quint32 MissingBytes(const QByteArray &buffer);

// A request body: the command, '@' and the Base64url payload.
QByteArray EncodeRequest(const QByteArray &command, const QByteArray &payload);

// A reply body: Base64url of {"content":content,"state":state}, compact.
QByteArray EncodeReply(bool state, const QString &content);

// Reads a reply body. Returns false when it is not a JSON object holding a
// boolean "state" (the body is not a reply of this protocol).
bool DecodeReply(const QByteArray &body, bool &state, QString &content);

} // namespace Zendral
} // namespace Orvane
