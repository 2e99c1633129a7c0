#include "core/paths.hpp"

#include "core/os/os.hpp"

namespace tarvo::core::paths {

std::filesystem::path install_prefix() {
  auto exe = os::executable_path();
  if (exe.empty()) return std::filesystem::current_path();
  return exe.parent_path().parent_path();
}

std::filesystem::path data_file(const std::filesystem::path& relative) {
  return install_prefix() / "share" / "tarvo" / relative;
}

std::filesystem::path library_file(const std::filesystem::path& name) {
  return install_prefix() / "lib" / "tarvo" / name;
}

}  // namespace tarvo::core::paths
