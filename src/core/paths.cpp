#include "core/paths.hpp"

#include <system_error>

namespace tarvo::core::paths {

std::filesystem::path install_prefix() {
  std::error_code error;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path();
  return exe.parent_path().parent_path();
}

std::filesystem::path data_file(const std::filesystem::path& relative) {
  return install_prefix() / "share" / "tarvo" / relative;
}

std::filesystem::path library_file(const std::filesystem::path& name) {
  return install_prefix() / "lib" / "tarvo" / name;
}

}  // namespace tarvo::core::paths
