#pragma once
// Helpers for the compute group's unit tests: environment variables set for one
// test, and the fake program installed under a chosen name.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "scoped.hpp"

namespace tarvo::test {

// Several variables set (or unset) for the object's lifetime, restored in reverse.
class ScopedEnvironment {
 public:
  void set(const std::string& name, std::optional<std::string> value) {
    variables_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  }
  void unset(const std::string& name) { set(name, std::nullopt); }
  ~ScopedEnvironment() {
    while (!variables_.empty())
      variables_.pop_back();
  }

 private:
  std::vector<std::unique_ptr<ScopedEnv>> variables_;
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
