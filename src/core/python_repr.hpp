#pragma once
// Python's literal text forms of JSON values: None, True/False, 'text', 1.5, [1, 2],
// {'key': 'value'}; the forms a Python tool prints for its records. The literal
// reader (core/literal.hpp) reads them back.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::core {

// One line: str() of the value as Python would print it.
std::string python_repr(const nlohmann::ordered_json& value);

}  // namespace tarvo::core
