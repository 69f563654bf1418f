#pragma once

#include "ServiceSettings.h"

namespace TestSettings {

// The per-user settings store (in test mode), as the window uses it; one
// instance for the whole test program, made on first use on the test's
// main thread. Link zendral_base.
inline Orvane::Zendral::ServiceSettings &userSettings()
{
    static Orvane::Zendral::ServiceSettings settings = Orvane::Zendral::ServiceSettings::UserSettings();
    return settings;
}

} // namespace TestSettings
