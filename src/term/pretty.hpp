#pragma once
// Python's literal text forms of JSON values: None, True/False, 'text',
// [1, 2], {'key': 'value'}; the forms a Python tool prints for its records.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::term {

// One line: str() of the value as Python would print it.
std::string python_repr(const nlohmann::ordered_json& value);

// Pretty form: a container that does not fit in `width` is opened one item per line,
// indented by four spaces, recursively (what a pretty printer does on a terminal).
std::string python_pretty(const nlohmann::ordered_json& value, int width);

}  // namespace tarvo::term
