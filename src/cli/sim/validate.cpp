#include "cli/sim/validate.hpp"

#include <stdexcept>

#include "cli/sim/target.hpp"
#include "sim/validator.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {

void validate(const ValidateOptions& options) {
  _validate(effective_path(options.path, options.path_option), options.address, options.protocol);
}

void _validate(const std::optional<std::string>& path, const std::optional<std::string>& address,
               const std::string& protocol, bool is_print) {
  const auto target = choose_target(path, address);
  const auto [success, issues] = tarvo::sim::validate(target, protocol);
  if (is_print) print_issues(issues);
  if (!success) throw std::invalid_argument("Validation failed");
}

void print_issues(const std::vector<tarvo::sim::Issue>& issues) {
  term::Console console;
  if (issues.empty()) {
    console.print("[green]The simulator passed every check.[/green]");
    return;
  }
  console.print("[red]Found " + std::to_string(issues.size()) +
                (issues.size() == 1 ? " issue:" : " issues:") + "[/red]");
  for (const auto& issue : issues)
    console.print("  - [bold]" + term::escape(issue.check) +
                  "[/bold]: " + term::escape(issue.message));
}

}  // namespace tarvo::cli::sim
