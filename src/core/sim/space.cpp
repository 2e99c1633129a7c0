#include "core/sim/space.hpp"

namespace tarvo::core::sim {

bool Dict::operator==(const Dict& other) const {
  return spaces == other.spaces;
}
bool Tuple::operator==(const Tuple& other) const {
  return spaces == other.spaces;
}

Space parse_space(const nlohmann::ordered_json&) {
  throw SpaceError("not implemented yet");
}
nlohmann::ordered_json to_json(const Space&) {
  return {};
}
std::string to_string(const Space&) {
  return {};
}
bool contains(const Space&, const nlohmann::json&) {
  return false;
}
nlohmann::json sample(const Space&, std::mt19937_64&) {
  return {};
}
nlohmann::ordered_json convert_space_to_json(const Space&) {
  return nlohmann::ordered_json::array();
}

}  // namespace tarvo::core::sim
