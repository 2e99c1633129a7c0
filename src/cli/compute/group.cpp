// The `compute` group's command surface.
#include <memory>
#include <string>

#include "cli/body.hpp"
#include "cli/surfaces.hpp"

namespace tarvo::cli::compute {

void mount(CLI::App& group) {
  auto* connect = group.add_subcommand(
      "connect", "Start the local compute node and register it with the TARVO platform.");
  auto name = std::make_shared<std::string>();
  auto* name_option =
      connect->add_option("--name", *name, "Cluster name (default: <os-user>-local)");
  connect->callback([name, name_option] {
    Args args = {{"name", nullptr}};
    if (name_option->count() > 0) args["name"] = *name;
    run_body("compute.connect", args);
  });

  group
      .add_subcommand("project",
                      "Select (or change) the project locally-specified components are "
                      "published to.")
      ->callback([] { run_body("compute.project", Args::object()); });

  group
      .add_subcommand("disconnect",
                      "Stop the local compute node and deregister it from the TARVO platform.")
      ->callback([] { run_body("compute.disconnect", Args::object()); });
}

}  // namespace tarvo::cli::compute
