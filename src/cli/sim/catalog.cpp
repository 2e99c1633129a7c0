// `list` and `retrieve`: the organisation's simulators on the platform.
#include "cli/sim/catalog.hpp"
#include "cli/sim/logger_name.hpp"

#include <stdexcept>

#include "cli/exit.hpp"
#include "core/logger.hpp"
#include "core/settings.hpp"
#include "term/console.hpp"
#include "term/menu.hpp"
#include "term/pretty.hpp"
#include "term/table.hpp"

namespace tarvo::cli::sim {
namespace {

// A value of the record, or `fallback` when the key is missing.
Json value_or(const Json& record, const char* key, const Json& fallback) {
  const auto found = record.find(key);
  return found == record.end() ? fallback : *found;
}

// A key the command cannot do without.
const Json& required(const Json& record, const char* key) {
  const auto found = record.find(key);
  if (found == record.end())
    throw std::invalid_argument(std::string("a sim in the catalogue has no \"") + key +
                                "\": " + record.dump());
  return *found;
}

}  // namespace

std::string _platform_base_url() {
  return core::load_settings().URL_API + "/v1";
}

PlatformSession::PlatformSession(const std::string& base_url) : api(base_url) {
  const auto organization = api.organizations.cli_select();
  if (!organization) throw Exit{1};
  const auto uuid = organization->find("uuid");
  if (uuid == organization->end())
    throw std::invalid_argument("the chosen organization has no \"uuid\": " + organization->dump());
  organization_uuid = _text_of(*uuid);
}

void _list() {
  PlatformSession platform(_platform_base_url());
  const Json sims = platform.api.sims.list(platform.organization_uuid);

  term::Table table;
  for (const char* header : {"Name", "Version", "Description", "Status", "UUID"})
    table.add_column(header);
  for (const auto& sim : sims) {
    const std::string name = _text_of(value_or(sim, "name", "Unknown"));
    const std::string description = _text_of(value_or(sim, "description", "Unknown"));
    const std::string id = _text_of(value_or(sim, "id", "Unknown"));
    std::string status = "Unknown";
    std::string version = "1";
    const auto versions = _sorted_versions(value_or(sim, "versions", Json::array()), name);
    if (!versions.empty()) {
      version = _text_of(value_or(versions.front(), "version", "1"));
      status = _text_of(value_or(versions.front(), "configuration_status", "UNKNOWN"));
    }
    table.add_row({term::escape(name), term::escape(version), term::escape(description),
                   term::escape(status), term::escape(id)});
  }
  term::Console().print_table(table);
}

void _retrieve() {
  const auto logger = core::get_logger(kLoggerName);
  const term::Console console;
  PlatformSession platform(_platform_base_url());
  const Json sims = platform.api.sims.list(platform.organization_uuid);
  if (sims.empty()) {
    console.print("[yellow]No sims found for this organization.[/yellow]");
    throw Exit{1};
  }

  std::vector<std::string> entries;
  for (const auto& sim : sims)
    entries.push_back(_text_of(required(sim, "name")) + " (uuid: " + _text_of(required(sim, "id")) +
                      ")");
  const auto chosen = term::Menu(entries, "Select a Sim:").show();
  if (!chosen) {
    console.print("[yellow]No sim selected.[/yellow]");
    throw Exit{1};
  }
  const Json& sim = sims[*chosen];
  console.print("Selected sim: " + term::escape(entries[*chosen]));

  const Json record = platform.api.sims.retrieve(platform.organization_uuid, _text_of(sim["id"]));
  const auto versions =
      _sorted_versions(value_or(record, "versions", Json::array()), _text_of(sim["name"]));
  if (versions.empty()) {
    console.print("No versions found for this sim");
    return;
  }

  const Json data = value_or(versions.front(), "data_json", Json::object());
  if (data.is_null() || data.empty() || data == "") {
    logger.info("Sim is building. Please try again in a moment.");
    return;
  }
  if (!data.is_object())
    throw std::invalid_argument("the image description of sim \"" + _text_of(sim["name"]) +
                                "\" is not an object: " + data.dump());

  const Json login_server = value_or(data, "login_server", nullptr);
  const std::string image = _text_of(login_server) + "/" +
                            _text_of(value_or(data, "image_name", nullptr)) + ":" +
                            _text_of(value_or(data, "tag", nullptr));
  const Json auth = {{"username", value_or(data, "username", nullptr)},
                     {"password", value_or(data, "password", nullptr)},
                     {"serveraddress", login_server}};
  console.print("Image: " + term::escape(image));
  console.print("Registry auth: " + term::escape(term::python_repr(auth)));
}

}  // namespace tarvo::cli::sim
