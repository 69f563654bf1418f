#pragma once

namespace Orvane {
namespace Zendral {

class NesterJob;
struct OrderView;

// What the operator can do with one job now, by the queue's rules: the
// window enables a button only when its operation would change something.
//
// Thread: any (a plain value).
class JobActions
{
public:
    static JobActions Of(const NesterJob &job, const OrderView &view);

    bool up = false;
    bool down = false;
    bool top = false;
    bool bottom = false;
    bool remove = false;
    bool retry = false;
    bool hold = false;
    bool release = false;
};

} // namespace Zendral
} // namespace Orvane
