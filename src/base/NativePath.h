#pragma once

#include <QString>

#include <string>

namespace Orvane {
namespace Zendral {

// A path in the form the platform layer (Platform.h) takes: the file
// system's encoding with the platform's separators.
std::string NativePath(const QString &path);

} // namespace Zendral
} // namespace Orvane
