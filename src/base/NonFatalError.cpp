#include "NonFatalError.h"

#include <cstring>

namespace Orvane {

NonFatalError::NonFatalError(const QString &message)
    : std::logic_error(message.toUtf8().toStdString())
{
}

const char *NonFatalError::what() const noexcept
{
    const char *text = std::logic_error::what();
    if (text == nullptr || *text == '\0')
        return "Unknown exception";
    return text;
}

} // namespace Orvane
