#include "sim/serializer_json.hpp"

namespace tarvo::sim {

std::string serialize(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace tarvo::sim
