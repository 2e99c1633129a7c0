// `list --local`: the simulator images in the local Docker engine.
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
