#pragma once
// Small file helpers with precise errors (errno kept), for the config and state files.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::core::files {

// The whole file, or nothing when it does not exist. Any other failure (a folder,
// no permission, an I/O error) throws std::system_error.
std::optional<std::string> read_if_exists(const std::filesystem::path& path);

// Writes all of `bytes` to `fd`, retrying after interrupted and short writes; false
// when the descriptor refuses them (a closed pipe, a full disk).
bool write_all(int fd, std::string_view bytes);

}  // namespace tarvo::core::files
