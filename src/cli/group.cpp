// tarvo's own command line: its name, description, help and version flags, and the
// two command groups mounted under it. The executable parses with it; the generator
// of the shell completions and manual pages (tools/cli_docs) walks it.
#include "cli/surfaces.hpp"

namespace tarvo::cli {

std::unique_ptr<CLI::App> make_app(CommandSource commands, const std::string& version) {
  auto app = std::make_unique<CLI::App>("The command-line client of the Tarvo platform.", "tarvo");
  // Set before the groups are added: subcommands copy their parent's help flag.
  app->set_help_flag("--help", "Show this message and exit.");
  app->set_version_flag("--version", version, "Show the version and exit.");
  app->fallthrough(false);
  compute::mount(
      *app->add_subcommand("compute", "Run this machine as a compute node of the platform."),
      commands);
  sim::mount(*app->add_subcommand("sim", "Build, check, serve, publish and run simulators."),
             commands);
  return app;
}

}  // namespace tarvo::cli
