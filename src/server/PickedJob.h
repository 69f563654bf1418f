#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// The job the queue hands the engine: which job, where its document lies
// on this machine, its time budget and the name the engine shows
// ("job name:client"). An empty job_id means there is none to run.
struct PickedJob
{
    QString job_id;
    QString file_path;
    int work_seconds = 0;
    QString job_name;

    bool IsValid() const { return !job_id.isEmpty(); }
};

} // namespace Zendral
} // namespace Orvane
