// status: one simulator container's record, or the table of all running ones.
#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "cli/sim/logger_name.hpp"
#include "cli/sim/status.hpp"
#include "core/logger.hpp"
#include "docker/containers.hpp"
#include "term/console.hpp"
#include "term/table.hpp"

namespace tarvo::cli::sim {
namespace {

namespace docker_util = tarvo::docker;

constexpr std::string_view kHistorianMarker = "IS_HISTORIAN_ENABLED=1";

// The error's kind as a short type name ("EngineError", "out_of_range").
std::string error_kind(const std::exception& error) {
  const char* mangled = typeid(error).name();
  int result = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &result), &std::free);
  std::string name = result == 0 && demangled ? demangled.get() : mangled;
  const auto last = name.rfind("::");
  return last == std::string::npos ? name : name.substr(last + 2);
}

const nlohmann::ordered_json& required(const nlohmann::ordered_json& record, const char* key) {
  const auto found = record.find(key);
  if (found == record.end()) throw std::out_of_range(std::string("'") + key + "'");
  return *found;
}

// A table cell from a record value: text as it is, nothing as an empty cell.
std::string cell(const nlohmann::ordered_json& value) {
  if (value.is_null()) return "";
  return term::escape(value.is_string() ? value.get<std::string>() : value.dump());
}

bool historian_enabled(const nlohmann::ordered_json& record) {
  const auto env = record.find("env");
  if (env == record.end() || !env->is_array()) return false;
  for (const auto& entry : *env)
    if (entry.is_string() && entry.get<std::string>().find(kHistorianMarker) != std::string::npos)
      return true;
  return false;
}

}  // namespace

void status(const StatusOptions& options) {
  if (!options.sim_name) {
    status_all();
    return;
  }
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  const auto record = docker_util::get_info_container(engine, *options.sim_name);
  const term::Console console;
  if (options.moniker) {
    const auto moniker = record.find("moniker");
    console.print(moniker == record.end() || moniker->is_null() ? "None" : cell(*moniker));
    return;
  }
  console.print_pretty(record);
}

void status_all() {
  const auto logger = core::get_logger(kLoggerName);
  try {
    docker_util::Engine engine(docker_util::endpoint_from_environment());
    const auto sims = docker_util::sim_list_running(engine);
    term::Table table;
    for (const char* header : {"Name", "Image", "Address", "Ports", "Historian Enabled", "Version"})
      table.add_column(header);
    for (const auto& record : sims) {
      const auto name = record.find("name");
      const auto info = docker_util::get_info_container(
          engine, name != record.end() && name->is_string() ? name->get<std::string>() : "");
      const auto ports = record.find("ports");
      const auto version = record.find("version");
      table.add_row({cell(required(info, "name")), cell(required(info, "image")),
                     cell(required(info, "moniker")), ports == record.end() ? "" : cell(*ports),
                     historian_enabled(record) ? "True" : "False",
                     version == record.end() ? "" : cell(*version)});
    }
    term::Console().print_table(table);
  } catch (const std::exception& error) {
    logger.info("[red]Error (" + error_kind(error) + "): " + error.what() + "[/red]");
  }
}

}  // namespace tarvo::cli::sim
