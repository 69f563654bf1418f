#pragma once

namespace Orvane {
namespace Zendral {

// A step of "move_job" as the client protocol carries it in "step". The
// numbers are the wire values and never change.
enum class MoveStep : int { Up = -1, Top = 0, Down = 1, Bottom = 9 };

// The step of a wire value; false for a value that is no step.
inline bool MoveStepFromWire(int value, MoveStep *step)
{
    switch (value) {
    case int(MoveStep::Up):
    case int(MoveStep::Top):
    case int(MoveStep::Down):
    case int(MoveStep::Bottom):
        *step = MoveStep(value);
        return true;
    default:
        return false;
    }
}

} // namespace Zendral
} // namespace Orvane
