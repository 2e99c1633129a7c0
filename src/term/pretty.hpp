#pragma once
// Python's pretty form of JSON values, fitted to a terminal's width.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::term {

// A container that does not fit in `width` is opened one item per line, indented by
// four spaces, recursively (what a pretty printer does on a terminal); the rest is in
// core::python_repr's one-line form.
std::string python_pretty(const nlohmann::ordered_json& value, int width);

}  // namespace tarvo::term
