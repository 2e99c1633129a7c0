// `retrieve`: a published simulator's image reference and registry credential.
#include "cli/sim/retrieve.hpp"

#include <stdexcept>

#include "cli/exit.hpp"
#include "cli/sim/catalog.hpp"
#include "cli/sim/logger_name.hpp"
#include "core/logger.hpp"
#include "core/python_repr.hpp"
#include "term/console.hpp"
#include "term/menu.hpp"

namespace tarvo::cli::sim {
namespace {

// A key the command cannot do without.
const Json& required(const Json& record, const char* key) {
  const auto found = record.find(key);
  if (found == record.end())
    throw std::invalid_argument(std::string("a sim in the catalogue has no \"") + key +
                                "\": " + record.dump());
  return *found;
}

}  // namespace

void retrieve(const RetrieveOptions&) {
  _retrieve();
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
      _sorted_versions(_value_or(record, "versions", Json::array()), _text_of(sim["name"]));
  if (versions.empty()) {
    console.print("No versions found for this sim");
    return;
  }

  const Json data = _value_or(versions.front(), "data_json", Json::object());
  if (data.is_null() || data.empty() || data == "") {
    logger.info("Sim is building. Please try again in a moment.");
    return;
  }
  if (!data.is_object())
    throw std::invalid_argument("the image description of sim \"" + _text_of(sim["name"]) +
                                "\" is not an object: " + data.dump());

  const Json login_server = _value_or(data, "login_server", nullptr);
  const std::string image = _text_of(login_server) + "/" +
                            _text_of(_value_or(data, "image_name", nullptr)) + ":" +
                            _text_of(_value_or(data, "tag", nullptr));
  const Json auth = {{"username", _value_or(data, "username", nullptr)},
                     {"password", _value_or(data, "password", nullptr)},
                     {"serveraddress", login_server}};
  console.print("Image: " + term::escape(image));
  console.print("Registry auth: " + term::escape(core::python_repr(auth)));
}

}  // namespace tarvo::cli::sim
