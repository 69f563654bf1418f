#pragma once

#include "ThrowSite.h"

#include <QString>

#include <stdexcept>

namespace Orvane {

// An error that ends the current operation but not the program. Keeps its
// message as UTF-8 for what(); throw it with ORVANE_THROW to record the site.
class NonFatalError : public std::logic_error, public ThrowSite
{
public:
    explicit NonFatalError(const QString &message);

    // The message, or "Unknown exception" when it is empty.
    const char *what() const noexcept override;
};

} // namespace Orvane
