#pragma once
// Helpers for the compute group's unit tests: environment variables set for one
// test, and the fake program installed under a chosen name.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::test {

// Sets variables for the object's lifetime, then restores the earlier values.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }
  void set(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Copies the fake program into `folder` as `name`, with scripted `rules`.
inline void install_fake(const std::filesystem::path& folder, const std::string& name,
                         const nlohmann::json& rules = nlohmann::json::array()) {
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(std::filesystem::path(TARVO_BUILD_DIR) / "bin" / "fake-program",
                             folder / name, std::filesystem::copy_options::overwrite_existing);
  std::ofstream(folder / (name + ".json")) << nlohmann::json{{"rules", rules}}.dump();
}

inline std::size_t count_lines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);)
    ++lines;
  return lines;
}

}  // namespace tarvo::test
