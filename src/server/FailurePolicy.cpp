#include "FailurePolicy.h"

#include <QSettings>
#include <QtGlobal>

#include <utility>

namespace Orvane {
namespace Zendral {

FailurePolicy FailurePolicy::Read()
{
    QSettings settings;
    FailurePolicy policy;
    for (const auto &setting : {std::make_pair("worker/max_failed_runs", &policy.maxFailedRuns),
                                std::make_pair("worker/retry_delay_seconds", &policy.retryDelaySeconds)}) {
        const QString key = QLatin1String(setting.first);
        if (!settings.contains(key))
            settings.setValue(key, *setting.second);
        *setting.second = settings.value(key, *setting.second).toInt();
    }
    policy.maxFailedRuns = qMax(1, policy.maxFailedRuns);
    policy.retryDelaySeconds = qMax(0, policy.retryDelaySeconds);
    return policy;
}

} // namespace Zendral
} // namespace Orvane
