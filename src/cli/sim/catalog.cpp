// The platform session that publish, list and retrieve open.
#include "cli/sim/catalog.hpp"

#include <stdexcept>

#include "cli/exit.hpp"
#include "cli/organization.hpp"
#include "cli/settings.hpp"

namespace tarvo::cli::sim {

Json _value_or(const Json& record, const char* key, const Json& fallback) {
  const auto found = record.find(key);
  return found == record.end() ? fallback : *found;
}

std::string _platform_base_url() {
  return load_settings().URL_API + "/v1";
}

PlatformSession::PlatformSession(const std::string& base_url) : api(base_url) {
  const auto organization = cli_select(api.organizations);
  if (!organization) throw Exit{1};
  const auto uuid = organization->find("uuid");
  if (uuid == organization->end())
    throw std::invalid_argument("the chosen organization has no \"uuid\": " + organization->dump());
  organization_uuid = _text_of(*uuid);
}

}  // namespace tarvo::cli::sim
