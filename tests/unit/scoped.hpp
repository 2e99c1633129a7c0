#pragma once
// Test helpers that change process-wide things and put them back: environment
// variables, a scratch folder, and standard error redirected to a file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/fd.hpp"

namespace tarvo::test {

// Sets (or with nothing, unsets) one variable for the object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    apply(value);
  }
  ~ScopedEnv() { apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

// A temporary folder, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-unit-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Sends file descriptor 2 to a file until text() is called or the object ends.
class CapturedStderr {
 public:
  CapturedStderr() : saved_(::dup(STDERR_FILENO)) {
    core::Fd file(::open(file_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::dup2(file.get(), STDERR_FILENO);
  }
  ~CapturedStderr() { restore(); }
  std::string text() {
    restore();
    return read_text(file_path());
  }

 private:
  std::filesystem::path file_path() const { return dir_.path() / "stderr"; }
  void restore() {
    if (saved_) ::dup2(saved_.get(), STDERR_FILENO);
    saved_.reset();
  }
  TempDir dir_;
  core::Fd saved_;
};

}  // namespace tarvo::test
