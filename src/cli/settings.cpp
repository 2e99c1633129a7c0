#include "cli/settings.hpp"

#include "term/console.hpp"

namespace tarvo::cli {

core::Settings load_settings() {
  core::Settings settings = core::load_settings();
  const term::Console err(stderr);
  for (const auto& warning : settings.warnings)
    err.print("[yellow]Warning: " + term::escape(warning) + "[/yellow]");
  return settings;
}

}  // namespace tarvo::cli
