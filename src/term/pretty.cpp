#include "term/pretty.hpp"

// Placeholder until the pretty printer lands.
namespace tarvo::term {
std::string python_repr(const nlohmann::ordered_json& value) { return value.dump(); }
std::string python_pretty(const nlohmann::ordered_json& value, int) { return python_repr(value); }
}  // namespace tarvo::term
