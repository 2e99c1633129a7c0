// The `compute` group's command surface: its commands, options and help texts.
#include "cli/surfaces.hpp"

namespace tarvo::cli::compute {

void mount(CLI::App& group, CommandSource commands) {
  auto* connect = group.add_subcommand(
      "connect", "Start the local compute node and register it with the TARVO platform.");
  auto connect_options = std::make_shared<ConnectOptions>();
  connect->add_option("--name", connect_options->name, "Cluster name (default: <os-user>-local)");
  connect->callback([=] { commands().compute_connect(*connect_options); });

  group
      .add_subcommand("project",
                      "Select (or change) the project locally-specified components are "
                      "published to.")
      ->callback([=] { commands().compute_project(ProjectOptions{}); });

  group
      .add_subcommand("disconnect",
                      "Stop the local compute node and deregister it from the TARVO platform.")
      ->callback([=] { commands().compute_disconnect(DisconnectOptions{}); });
}

}  // namespace tarvo::cli::compute
