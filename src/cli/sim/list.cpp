// `list`: the organisation's simulators on the platform, or with --local the
// simulator images in the local Docker engine; a table, or JSON for scripts.
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

// One entry per catalogue simulator: its name, newest version, description, that
// version's configuration status and its id, as the table shows them.
std::vector<Json> catalog_rows() {
  PlatformSession platform(_platform_base_url());
  const Json sims = platform.api.sims.list(platform.organization_uuid);
  std::vector<Json> rows;
  for (const auto& sim : sims) {
    const std::string name = _text_of(_value_or(sim, "name", "Unknown"));
    std::string status = "Unknown";
    Json version = 1;  // as the platform wrote it: an integer or integer text
    const auto versions = _sorted_versions(_value_or(sim, "versions", Json::array()), name);
    if (!versions.empty()) {
      version = _value_or(versions.front(), "version", 1);
      status = _text_of(_value_or(versions.front(), "configuration_status", "UNKNOWN"));
    }
    Json row = Json::object();
    row["name"] = name;
    row["version"] = version;
    row["description"] = _text_of(_value_or(sim, "description", "Unknown"));
    row["status"] = status;
    row["uuid"] = _text_of(_value_or(sim, "id", "Unknown"));
    rows.push_back(std::move(row));
  }
  return rows;
}

// One entry per local simulator image: its name, image reference, creation time
// (UTC) and version label.
std::vector<Json> image_rows() {
  namespace docker_util = tarvo::docker;
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  std::vector<Json> rows;
  for (const auto& image : docker_util::sim_list_images(engine)) {
    const Json name = image.value("name", Json());
    Json row = Json::object();
    row["name"] = name;
    row["docker_url"] = "tarvo/" + _text_of(name);
    row["last_updated"] = image.value("last_updated", Json());
    row["version"] = image.value("version", Json());
    rows.push_back(std::move(row));
  }
  return rows;
}

void print_catalog(const std::vector<Json>& rows) {
  term::Table table;
  for (const char* header : {"Name", "Version", "Description", "Status", "UUID"})
    table.add_column(header);
  for (const auto& row : rows)
    table.add_row({cell(row["name"]), cell(row["version"]), cell(row["description"]),
                   cell(row["status"]), cell(row["uuid"])});
  term::Console().print_table(table);
}

void print_images(const std::vector<Json>& rows) {
  term::Table table;
  for (const char* header : {"Sim Name", "Docker URL", "Version"})
    table.add_column(header);
  for (const auto& row : rows)
    table.add_row({cell(row["name"]), cell(row["docker_url"]), cell(row["last_updated"])});
  term::Console().print_table(table);
}

}  // namespace

void list(const ListOptions& options) {
  if (!options.json) {
    if (options.local)
      _list_docker();
    else
      _list();
    return;
  }
  term::Console().print_json(Json(options.local ? image_rows() : catalog_rows()));
}

void _list() {
  print_catalog(catalog_rows());
}

void _list_docker() {
  print_images(image_rows());
}

}  // namespace tarvo::cli::sim
