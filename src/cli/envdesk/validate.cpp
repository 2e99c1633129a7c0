#include "cli/envdesk/validate.hpp"

#include <stdexcept>

#include "cli/envdesk/target.hpp"
#include "core/sim/validator.hpp"

namespace tarvo::cli::envdesk {

void _validate(const std::optional<std::string>& path, const std::optional<std::string>& address,
               const std::string& protocol, bool is_print) {
  const auto target = choose_target(path, address);
  const auto [success, issues] = core::sim::validate(target, protocol);
  if (is_print) core::sim::print_issues(issues);
  if (!success) throw std::invalid_argument("Validation failed");
}

}  // namespace tarvo::cli::envdesk
