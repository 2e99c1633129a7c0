// `list`: the organisation's simulators on the platform, or with --local the
// simulator images in the local Docker engine.
#include "cli/sim/list.hpp"

#include "cli/sim/catalog.hpp"
#include "docker/containers.hpp"
#include "term/console.hpp"
#include "term/table.hpp"

namespace tarvo::cli::sim {
namespace {

// A table cell: nothing shows as an empty cell.
std::string cell(const Json& value) {
  return value.is_null() ? "" : term::escape(_text_of(value));
}

}  // namespace

void list(const ListOptions& options) {
  if (options.local)
    _list_docker();
  else
    _list();
}

void _list() {
  PlatformSession platform(_platform_base_url());
  const Json sims = platform.api.sims.list(platform.organization_uuid);

  term::Table table;
  for (const char* header : {"Name", "Version", "Description", "Status", "UUID"})
    table.add_column(header);
  for (const auto& sim : sims) {
    const std::string name = _text_of(_value_or(sim, "name", "Unknown"));
    const std::string description = _text_of(_value_or(sim, "description", "Unknown"));
    const std::string id = _text_of(_value_or(sim, "id", "Unknown"));
    std::string status = "Unknown";
    std::string version = "1";
    const auto versions = _sorted_versions(_value_or(sim, "versions", Json::array()), name);
    if (!versions.empty()) {
      version = _text_of(_value_or(versions.front(), "version", "1"));
      status = _text_of(_value_or(versions.front(), "configuration_status", "UNKNOWN"));
    }
    table.add_row({term::escape(name), term::escape(version), term::escape(description),
                   term::escape(status), term::escape(id)});
  }
  term::Console().print_table(table);
}

void _list_docker() {
  namespace docker_util = tarvo::docker;
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  const auto images = docker_util::sim_list_images(engine);

  term::Table table;
  for (const char* header : {"Sim Name", "Docker URL", "Version"})
    table.add_column(header);
  for (const auto& image : images) {
    const Json name = image.value("name", Json());
    table.add_row({cell(name), term::escape("tarvo/" + _text_of(name)),
                   cell(image.value("last_updated", Json()))});
  }
  term::Console().print_table(table);
}

}  // namespace tarvo::cli::sim
