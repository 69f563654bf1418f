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
// read as the service has always read them: a "job_name" that is not a
// string counts as empty, and "time" is 90 unless it is a whole number,
// which is then moved into MinTime..MaxTime. Whether "work_data" is there
// as a string of standard Base64 is told by HasValidData.
//
// Thread: a plain value; one thread uses an object at a time.
class AddRequestReader
{
public:
    static constexpr int DefaultTime = 90;
    // The range of a job's time budget in seconds (a week at most).
    static constexpr int MinTime = 1;
    static constexpr int MaxTime = 7 * 24 * 3600;

    // Parses `payload` in place (its bytes are changed). False when it is
    // not a valid JSON object or array; an array reads as an object without
    // keys. After a successful read, payload[DataOffset(), +DataLength()) is
    // the "work_data" text.
    bool Read(QByteArray &payload);

    QString JobName() const { return jobName; }
    int Time() const { return time; }
    int DataOffset() const { return dataOffset; }
    int DataLength() const { return dataLength; }
    // "work_data" is a string of standard Base64 (empty: an empty document):
    // the alphabet
    // A-Z a-z 0-9 + /, at most two '=' at the end only, no group of a single
    // character. Line breaks and blanks between characters are allowed.
    bool HasValidData() const { return dataValid; }
    // The "time" sent was a whole number outside MinTime..MaxTime.
    bool TimeMoved() const { return timeMoved; }
    // The reason of the last refusal, for the log.
    QString ErrorText() const { return errorText; }

private:
    QString jobName;
    int time = DefaultTime;
    int dataOffset = 0;
    int dataLength = 0;
    bool dataValid = false;
    bool timeMoved = false;
    QString errorText;
};

} // namespace Zendral
} // namespace Orvane
