#include "core/temp_dir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace tarvo::core {

TempDir::TempDir(std::string_view prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  if (!::mkdtemp(pattern.data()))
    throw std::system_error(
        errno, std::generic_category(),
        "cannot create a folder in " + std::filesystem::temp_directory_path().string());
  path_ = std::move(pattern);
}

TempDir::~TempDir() {
  remove();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void TempDir::remove() noexcept {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace tarvo::core
