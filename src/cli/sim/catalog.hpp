#pragma once
// What publish, list and retrieve share: the platform session and the reading of
// catalogue records.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/client.hpp"

namespace tarvo::cli::sim {

using Json = nlohmann::ordered_json;

// A version record's number: its "version" as an integer or integer text, 1 when
// missing. Anything else is std::invalid_argument naming the simulator and the value.
long long _version_number(const Json& version, const std::string& sim_name);

// The versions newest first; versions with equal numbers keep the platform's order.
std::vector<Json> _sorted_versions(const Json& versions, const std::string& sim_name);

// The text a value has when printed: text as it is, null as None, numbers in decimal.
std::string _text_of(const Json& value);

// A value of the record, or `fallback` when the key is missing.
Json _value_or(const Json& record, const char* key, const Json& fallback);

// The client for the configured platform and the organisation the user works in (its
// "uuid" as text). A cancelled choice ends the command with status 1; the client has
// said why.
struct PlatformSession {
  explicit PlatformSession(const std::string& base_url);
  api::APINoCode api;
  std::string organization_uuid;
};
std::string _platform_base_url();

}  // namespace tarvo::cli::sim
