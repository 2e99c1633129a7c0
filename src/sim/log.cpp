#include "sim/log.hpp"

#include "core/logger.hpp"

namespace tarvo::sim {

void log_info(const std::string& name, std::string_view message) {
  core::get_logger(name).info(message);
}

void log_debug(const std::string& name, std::string_view message) {
  core::get_logger(name).debug(message);
}

}  // namespace tarvo::sim
