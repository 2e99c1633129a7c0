#pragma once
// Reading a body's JSON arguments with the types the body expects. A value of
// another type is a programming error between surface and body, reported by name.
#include <optional>
#include <stdexcept>
#include <string>

#include "cli/body.hpp"

namespace tarvo::cli::sim {

// Text, or nothing when the argument is null or missing.
inline std::optional<std::string> optional_text(const Args& args, const char* name) {
  const auto it = args.find(name);
  if (it == args.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw std::invalid_argument(std::string(name) + " must be text");
  return it->get<std::string>();
}

inline std::string text_or(const Args& args, const char* name, const std::string& fallback) {
  return optional_text(args, name).value_or(fallback);
}

inline long long integer_or(const Args& args, const char* name, long long fallback) {
  const auto it = args.find(name);
  if (it == args.end() || it->is_null()) return fallback;
  if (!it->is_number_integer())
    throw std::invalid_argument(std::string(name) + " must be an integer");
  return it->get<long long>();
}

}  // namespace tarvo::cli::sim
