#pragma once
// The core settings as both command groups read them: loaded afresh, with what the
// user should know about the config file said on standard error.
#include "core/settings.hpp"

namespace tarvo::cli {

// core::load_settings(), printing each of its warnings as one yellow line.
core::Settings load_settings();

}  // namespace tarvo::cli
