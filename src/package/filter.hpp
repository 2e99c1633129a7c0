#pragma once
// What packaging leaves out of a simulator's upload.
//
// Always left out: version-control folders (.git, .hg, .svn, .bzr), caches
// (__pycache__, .pytest_cache, .mypy_cache, .ruff_cache, .tox), virtual environments
// (.venv), packaging leftovers (*.egg-info), compiled Python (*.pyc, *.pyo),
// .DS_Store, and the top-level build outputs build/ and dist/.
//
// The rest is up to the optional ignore file `.tarvoignore` at the top of the
// simulator directory: one pattern per line; empty lines and lines starting with "#"
// are skipped; patterns use shell wildcards (*, ?, [...]), where * never crosses a
// "/". A pattern without "/" matches a name at any depth; a pattern with "/" matches
// the path from the top ("data/raw", a leading "/" is allowed); a trailing "/" makes
// it match folders only. Whatever lies inside a left-out folder is left out too.
// The manifest tarvo.json at the top is always packaged.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::package {

inline constexpr const char* kIgnoreFile = ".tarvoignore";

class PackageFilter {
 public:
  // Reads the ignore file of `root` when there is one; std::runtime_error naming the
  // file and line for a pattern it cannot use.
  static PackageFilter load(const std::filesystem::path& root);
  // Only the built-in rules plus the given ignore-file text.
  static PackageFilter from_text(std::string_view ignore_text, const std::string& origin);

  // `relative` is the entry's path from the top, "/"-separated, without a leading "/".
  bool excluded(std::string_view relative, bool is_directory) const;

 private:
  struct Rule {
    std::string pattern;
    bool anchored;  // matched against the whole path, not only the name
    bool directory_only;
  };
  std::vector<Rule> rules_;
};

}  // namespace tarvo::package
