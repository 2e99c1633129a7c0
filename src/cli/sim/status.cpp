// status: one simulator container's record, or the table of all running ones.
#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "cli/exit.hpp"
#include "cli/sim/logger_name.hpp"
#include "cli/sim/status.hpp"
#include "core/logger.hpp"
#include "docker/containers.hpp"
#include "term/console.hpp"
#include "term/table.hpp"

namespace tarvo::cli::sim {
namespace {

namespace docker_util = tarvo::docker;
using Json = nlohmann::ordered_json;

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

// A record value as text: text as it is, nothing as an empty text.
std::string text_of(const Json& value) {
  if (value.is_null()) return "";
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// A table cell from a record value.
std::string cell(const Json& value) {
  return term::escape(text_of(value));
}

bool historian_enabled(const nlohmann::ordered_json& record) {
  const auto env = record.find("env");
  if (env == record.end() || !env->is_array()) return false;
  for (const auto& entry : *env)
    if (entry.is_string() && entry.get<std::string>().find(kHistorianMarker) != std::string::npos)
      return true;
  return false;
}

// One row per running simulator container, in the engine's order: what the table
// shows, as data. A record without a "name", "image" or "moniker" is an error.
std::vector<Json> status_rows(docker_util::Engine& engine) {
  std::vector<Json> rows;
  for (const auto& record : docker_util::sim_list_running(engine)) {
    const auto name = record.find("name");
    const auto info = docker_util::get_info_container(
        engine, name != record.end() && name->is_string() ? name->get<std::string>() : "");
    Json row = Json::object();
    row["name"] = required(info, "name");
    row["image"] = required(info, "image");
    row["address"] = required(info, "moniker");
    row["ports"] = record.value("ports", Json());
    row["historian_enabled"] = historian_enabled(record);
    row["version"] = record.value("version", Json());
    rows.push_back(std::move(row));
  }
  return rows;
}

void print_table(const std::vector<Json>& rows) {
  term::Table table;
  for (const char* header : {"Name", "Image", "Address", "Ports", "Historian Enabled", "Version"})
    table.add_column(header);
  for (const auto& row : rows)
    table.add_row({cell(row["name"]), cell(row["image"]), cell(row["address"]), cell(row["ports"]),
                   row["historian_enabled"].get<bool>() ? "True" : "False", cell(row["version"])});
  term::Console().print_table(table);
}

// Every running simulator container, as a table or as JSON. A failure is one red
// log line, and the command fails with status 1 (it has said why).
void report_all(bool json) {
  const auto logger = core::get_logger(kLoggerName);
  try {
    docker_util::Engine engine(docker_util::endpoint_from_environment());
    const auto rows = status_rows(engine);
    if (json)
      term::Console().print_json(Json(rows));
    else
      print_table(rows);
  } catch (const std::exception& error) {
    logger.info("[red]Error (" + error_kind(error) + "): " + term::escape(error.what()) + "[/red]");
    throw Exit{1};
  }
}

}  // namespace

void status(const StatusOptions& options) {
  if (!options.sim_name) {
    if (options.json)
      report_all(true);
    else
      status_all();
    return;
  }
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  const auto record = docker_util::get_info_container(engine, *options.sim_name);
  const term::Console console;
  if (options.moniker) {
    const auto moniker = record.find("moniker");
    const bool missing = moniker == record.end() || moniker->is_null();
    if (options.json)
      console.print_json(missing ? Json() : *moniker);
    else
      console.print(missing ? "None" : cell(*moniker));
    return;
  }
  if (options.json)
    console.print_json(record);
  else
    console.print_pretty(record);
}

void status_all() {
  report_all(false);
}

}  // namespace tarvo::cli::sim
