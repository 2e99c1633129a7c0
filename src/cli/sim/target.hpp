#pragma once
// The simulator a command works on: a directory or an address.
#include <optional>
#include <stdexcept>
#include <string>

namespace tarvo::cli::sim {

// The path a command works on: --path when given, else the positional path.
inline std::optional<std::string> effective_path(const std::optional<std::string>& path,
                                                 const std::optional<std::string>& path_option) {
  return path_option ? path_option : path;
}

// The path when it is non-empty text, else the address (which may be absent too).
inline std::optional<std::string> choose_target(const std::optional<std::string>& path,
                                                const std::optional<std::string>& address) {
  if (!path && !address) throw std::invalid_argument("Either `path` or `address` must be provided");
  if (path && !path->empty()) return path;
  return address;
}

}  // namespace tarvo::cli::sim
