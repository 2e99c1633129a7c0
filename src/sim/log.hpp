#pragma once
// Where the runtime's own log lines go.
#include <string>
#include <string_view>

namespace tarvo::sim {

void log_info(const std::string& name, std::string_view message);
void log_debug(const std::string& name, std::string_view message);

}  // namespace tarvo::sim
