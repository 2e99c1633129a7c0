#pragma once
// The organisation a command works in, as both command groups choose it.
#include <optional>

#include "api/client.hpp"

namespace tarvo::cli {

// The organisation named by the organization setting, else the user's choice in a
// menu of the account's organisations. Nothing when the user cancels or the account
// has none; the reason has been printed.
std::optional<api::Json> cli_select(api::Organizations& organizations);

}  // namespace tarvo::cli
