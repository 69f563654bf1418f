#pragma once

#include <QByteArray>
#include <QString>

namespace Orvane {
namespace Zendral {

// Reads the JSON payload of an ADD_NESTER_JOB request in place, without a
// copy of its document: {"job_name": text, "work_data": Base64 text,
// "time": seconds}. The strings are unescaped inside the payload's own
// buffer, and "work_data" is given as a place in that buffer, ready to be
// decoded into the job file.
//
// Like SafeJson it refuses a document with the same key twice in one object
// (at any depth) or nested deeper than SafeJson::MaxDepth; the values are
// read as the service has always read them: a "job_name" or "work_data"
// that is not a string counts as empty, and "time" is 90 unless it is a whole
// number that fits an int.
//
// Thread: a plain value; one thread uses an object at a time.
class AddRequestReader
{
public:
    static constexpr int DefaultTime = 90;

    // Parses `payload` in place (its bytes are changed). False when it is
    // not a valid JSON object or array; an array reads as an object without
    // keys. After a successful read, payload[DataOffset(), +DataLength()) is
    // the "work_data" text.
    bool Read(QByteArray &payload);

    QString JobName() const { return jobName; }
    int Time() const { return time; }
    int DataOffset() const { return dataOffset; }
    int DataLength() const { return dataLength; }
    // The reason of the last refusal, for the log.
    QString ErrorText() const { return errorText; }

private:
    QString jobName;
    int time = DefaultTime;
    int dataOffset = 0;
    int dataLength = 0;
    QString errorText;
};

} // namespace Zendral
} // namespace Orvane
