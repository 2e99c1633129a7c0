#include "core/sim/log.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarvo::core::sim {

void log_info(const std::string& name, std::string_view message) {
  std::fprintf(stderr, "INFO %s: %.*s\n", name.c_str(), static_cast<int>(message.size()),
               message.data());
}

void log_debug(const std::string& name, std::string_view message) {
  const char* level = std::getenv("TARVO_LOG_LEVEL");
  if (!level || std::string_view(level) != "debug") return;
  std::fprintf(stderr, "DEBUG %s: %.*s\n", name.c_str(), static_cast<int>(message.size()),
               message.data());
}

}  // namespace tarvo::core::sim
