#include "FailurePolicy.h"

#include "ServiceConfig.h"

#include <QtGlobal>

namespace Orvane {
namespace Zendral {

FailurePolicy FailurePolicy::From(const ServiceConfig &config)
{
    FailurePolicy policy;
    policy.maxFailedRuns = qMax(1, config.maxFailedRuns);
    policy.retryDelaySeconds = qMax(0, config.retryDelaySeconds);
    return policy;
}

} // namespace Zendral
} // namespace Orvane
