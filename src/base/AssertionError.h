#pragma once

#include "NonFatalError.h"

namespace Orvane {

// A broken internal assumption; handled like any NonFatalError.
class AssertionError : public NonFatalError
{
public:
    using NonFatalError::NonFatalError;
};

} // namespace Orvane
