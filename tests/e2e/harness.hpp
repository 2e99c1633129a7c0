#pragma once
// Runs the built `tarvo` as a child process with a scratch home, as a user would.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/paths.hpp"
#include "core/process.hpp"

namespace tarvo::test {

// The `tarvo` beside this test program: build/bin's, or build/posix/bin's for the
// copy of the tests on the POSIX operating-system layer.
inline std::filesystem::path tarvo_binary() {
  return core::paths::install_prefix() / "bin" / "tarvo";
}

// A temporary folder removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One invocation environment: a scratch HOME and XDG folders, the parent's PATH,
// and whatever a test adds.
class Session {
 public:
  Session() {
    env_ = {{"HOME", home_.path().string()},
            {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
            {"XDG_STATE_HOME", (home_.path() / "state").string()},
            {"PATH", std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"},
            {"USER", "alice"},
            {"LOGNAME", "alice"},
            {"TARVO_API_URL", "http://127.0.0.1:9"}};
    // A sanitized build reads its options (suppressions above all) from these.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
      if (const char* value = std::getenv(name)) env_[name] = value;
  }
  core::process::Environment& env() { return env_; }
  const std::filesystem::path& home() const { return home_.path(); }

  core::process::Result run(std::vector<std::string> args, std::string input = {}) const {
    args.insert(args.begin(), tarvo_binary().string());
    core::process::Options options;
    options.environment = env_;
    options.out = core::process::Stream::capture;
    options.err = core::process::Stream::capture;
    options.input = std::move(input);
    return core::process::run(args, options);
  }

 private:
  ScratchDir home_;
  core::process::Environment env_;
};

}  // namespace tarvo::test
