// A job record read through SafeJson: SafeJson takes only what Qt's parser
// takes, with the same result; a record read back from its own JSON is the
// same record; an interrupted run never comes back as running.
#include "FuzzSupport.h"
#include "NesterJob.h"
#include "SafeJson.h"

#include <QJsonObject>

using namespace Orvane::Zendral;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (FuzzSupport::QuietMessages(), true);
    Q_UNUSED(quiet)
    const QByteArray input = FuzzSupport::Bytes(data, size);
    const QJsonDocument document = SafeJson::Parse(input);
    if (document.isNull())
        return 0;
    QJsonParseError error;
    FUZZ_CHECK(QJsonDocument::fromJson(input, &error) == document && error.error == QJsonParseError::NoError);

    NesterJob job;
    job.FromJson(document.object());
    FUZZ_CHECK(!job.IsRunning());
    NesterJob again;
    again.FromJson(job.ToJson(0));
    FUZZ_CHECK(again.job_name == job.job_name && again.job_id == job.job_id && again.from == job.from);
    FUZZ_CHECK(again.start == job.start && again.fileaex == job.fileaex && again.fileaexres == job.fileaexres);
    FUZZ_CHECK(again.state == job.state && again.time == job.time && again.failed_runs == job.failed_runs);
    FUZZ_CHECK(again.error == job.error);
    FUZZ_CHECK(again.completed == job.completed || (again.completed != again.completed && job.completed != job.completed));
    return 0;
}
