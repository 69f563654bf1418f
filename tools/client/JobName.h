#pragma once

#include "Protocol.h"

#include <QString>

namespace Orvane {
namespace Zendral {

// Job names as the operator's window shows them. The service keeps the job
// file under the "job_name" a client sends and names the record after it
// without its last suffix; the window reads that record name as URL-safe
// Base64 of the UTF-8 text "work::name" (or of the name alone). This class
// makes such names and reads them back the way the window does.
//
// Thread: any (plain functions).
class JobName
{
public:
    // The longest job file name sent, in bytes: the most the service takes
    // (it adds suffixes of its own, and file systems allow 255 bytes per name).
    static constexpr int MaxFileNameBytes = MaxJobNameBytes;

    // The "job_name" for a document: Base64url of "work::name" (of "name"
    // alone when work is empty), then "." and the suffix when there is one.
    // Returns an empty text and sets *error when the names cannot be sent so
    // that the window shows them back unchanged, or would be too long.
    static QString Encode(const QString &work, const QString &name, const QString &suffix, QString *error);

    // Reads a record name as the window does. Returns false, with an empty
    // work name and the record name as it is, when the record name is not
    // Base64url (padding kept) of printable UTF-8 text.
    static bool Decode(const QString &recordName, QString *work, QString *name);
};

} // namespace Zendral
} // namespace Orvane
