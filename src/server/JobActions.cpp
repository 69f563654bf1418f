#include "JobActions.h"

#include "NesterJob.h"
#include "QueueRules.h"

namespace Orvane {
namespace Zendral {

JobActions JobActions::Of(const NesterJob &job, const OrderView &view)
{
    JobActions actions;
    actions.up = QueueRules::MoveTarget(MoveStep::Up, view) >= 0;
    actions.down = QueueRules::MoveTarget(MoveStep::Down, view) >= 0;
    actions.top = QueueRules::MoveTarget(MoveStep::Top, view) >= 0;
    actions.bottom = QueueRules::MoveTarget(MoveStep::Bottom, view) >= 0;
    actions.remove = true;
    actions.retry = job.IsFailed();
    // A new hold of a held job only changes its time: the window offers
    // Release for it instead.
    actions.hold = !job.IsHeld() && (job.IsWaiting() || job.IsRunning());
    actions.release = job.IsHeld();
    return actions;
}

} // namespace Zendral
} // namespace Orvane
