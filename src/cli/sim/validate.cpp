#include "cli/sim/validate.hpp"

#include <stdexcept>

#include "cli/sim/target.hpp"
#include "sim/validator.hpp"

namespace tarvo::cli::sim {

void validate(const ValidateOptions& options) {
  _validate(effective_path(options.path, options.path_option), options.address, options.protocol);
}

void _validate(const std::optional<std::string>& path, const std::optional<std::string>& address,
               const std::string& protocol, bool is_print) {
  const auto target = choose_target(path, address);
  const auto [success, issues] = tarvo::sim::validate(target, protocol);
  if (is_print) tarvo::sim::print_issues(issues);
  if (!success) throw std::invalid_argument("Validation failed");
}

}  // namespace tarvo::cli::sim
