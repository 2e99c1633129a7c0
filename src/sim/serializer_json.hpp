#pragma once
// JSON text of a nested mapping: keys in their insertion order, indented by two
// spaces, invalid UTF-8 replaced rather than rejected. Non-finite numbers become null.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::sim {

std::string serialize(const nlohmann::ordered_json& value);

}  // namespace tarvo::sim
