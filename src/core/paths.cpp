#include "core/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

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

namespace {

std::string home_directory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir)
    return found->pw_dir;
  throw std::runtime_error("cannot tell where '~' is: HOME is not set");
}

}  // namespace

std::string expand_home(std::string_view path) {
  if (path == "~") return home_directory();
  if (path.starts_with("~/")) return home_directory() + std::string(path.substr(1));
  return std::string(path);
}

}  // namespace tarvo::core::paths
