// `tarvo compute project`: links the connected node to one of its organisation's
// projects.
#include "cli/compute/project.hpp"
#include "api/client.hpp"
#include "cli/compute/compute.hpp"
#include "cli/exit.hpp"
#include "cli/settings.hpp"
#include "compute/state.hpp"
#include "term/menu.hpp"

namespace tarvo::cli::compute {

void _project_async() {
  const auto settings = cli::load_settings();
  const auto node = tarvo::compute::state::load();
  if (!node || !truthy(node->value("cluster_id", Json()))) {
    console().print("[red]No compute node is connected. Run `tarvo compute connect` first.[/red]");
    throw Exit{1};
  }
  const auto organization_id = node->value("organization_id", Json());
  if (organization_id.is_null()) {
    console().print(
        "[red]No organization is linked. Run `tarvo compute connect` again to select "
        "one.[/red]");
    throw Exit{1};
  }

  api::APINoCode api(settings.URL_API + "/v1", settings);
  const auto projects = api.projects.list(text_form(organization_id));
  if (projects.empty()) {
    console().print("[red]No projects found for this organization.[/red]");
    throw Exit{1};
  }

  std::vector<std::string> project_names;
  for (const auto& project : projects)
    project_names.push_back(text_form(project["name"]) + " (uuid: " + text_form(project["id"]) +
                            ")");
  const auto selected_idx = term::Menu(std::move(project_names), "Select a Project:").show();
  if (!selected_idx) {
    console().print("[yellow]No project selected.[/yellow]");
    throw Exit{1};
  }
  const auto& selected = projects[*selected_idx];

  auto record = *node;
  record["project_id"] = selected["id"];
  tarvo::compute::state::save(record);
  console().print("[green]Project linked: " + term::escape(text_form(selected["name"])) +
                  "[/green]");
}

void project(const ProjectOptions&) {
  _project_async();
}

}  // namespace tarvo::cli::compute
