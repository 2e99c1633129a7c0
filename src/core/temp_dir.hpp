#pragma once
// A private temporary folder (mode 0700) that is removed, with everything in it, when
// the owning object goes away.
#include <filesystem>
#include <string_view>

namespace tarvo::core {

class TempDir {
 public:
  // Creates "<system temp>/<prefix>XXXXXX"; std::system_error when that fails.
  explicit TempDir(std::string_view prefix);
  ~TempDir();
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  void remove() noexcept;
  std::filesystem::path path_;
};

}  // namespace tarvo::core
