#include "core/sim/log.hpp"

#include "core/logger.hpp"

namespace tarvo::core::sim {

void log_info(const std::string& name, std::string_view message) {
  get_logger(name).info(message);
}

void log_debug(const std::string& name, std::string_view message) {
  get_logger(name).debug(message);
}

}  // namespace tarvo::core::sim
