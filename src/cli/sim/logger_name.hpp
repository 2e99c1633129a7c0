#pragma once

namespace tarvo::cli::sim {

// The name every command of the group logs under.
inline constexpr const char* kLoggerName = "tarvo_cli.cli.envdesk";

}  // namespace tarvo::cli::sim
