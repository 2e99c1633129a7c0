#include "package/filter.hpp"

#include <fnmatch.h>

#include <array>
#include <stdexcept>
#include <string>

#include "core/files.hpp"

namespace tarvo::package {

namespace {

constexpr std::array kBuiltinDirectories = {
    ".git",        ".hg",         ".svn", ".bzr",  "__pycache__", ".pytest_cache",
    ".mypy_cache", ".ruff_cache", ".tox", ".venv", "*.egg-info"};
constexpr std::array kBuiltinFiles = {"*.pyc", "*.pyo", ".DS_Store"};
constexpr std::array kBuiltinTopDirectories = {"build", "dist"};

bool matches(const std::string& pattern, std::string_view text, int flags) {
  return ::fnmatch(pattern.c_str(), std::string(text).c_str(), flags) == 0;
}

std::string_view base_name(std::string_view relative) {
  const auto slash = relative.rfind('/');
  return slash == std::string_view::npos ? relative : relative.substr(slash + 1);
}

std::string_view trim(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
    line.remove_prefix(1);
  return line;
}

}  // namespace

PackageFilter PackageFilter::load(const std::filesystem::path& root) {
  const auto path = root / kIgnoreFile;
  const auto text = core::files::read_if_exists(path);
  return from_text(text.value_or(""), path.string());
}

PackageFilter PackageFilter::from_text(std::string_view ignore_text, const std::string& origin) {
  PackageFilter filter;
  for (const char* name : kBuiltinDirectories)
    filter.rules_.push_back({name, false, true});
  for (const char* name : kBuiltinFiles)
    filter.rules_.push_back({name, false, false});
  for (const char* name : kBuiltinTopDirectories)
    filter.rules_.push_back({name, true, true});

  int line_number = 0;
  while (!ignore_text.empty()) {
    const auto end = ignore_text.find('\n');
    std::string_view line = trim(ignore_text.substr(0, end));
    ignore_text.remove_prefix(end == std::string_view::npos ? ignore_text.size() : end + 1);
    ++line_number;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '!')
      throw std::runtime_error(origin + ", line " + std::to_string(line_number) +
                               ": patterns starting with \"!\" are not supported");
    Rule rule{std::string(line), false, false};
    if (rule.pattern.back() == '/') {
      rule.directory_only = true;
      rule.pattern.pop_back();
    }
    if (rule.pattern.find('/') != std::string::npos) {
      rule.anchored = true;
      if (rule.pattern.front() == '/') rule.pattern.erase(0, 1);
    }
    if (rule.pattern.empty())
      throw std::runtime_error(origin + ", line " + std::to_string(line_number) +
                               ": the pattern matches nothing");
    filter.rules_.push_back(std::move(rule));
  }
  return filter;
}

bool PackageFilter::excluded(std::string_view relative, bool is_directory) const {
  if (relative == "tarvo.json") return false;
  for (const auto& rule : rules_) {
    if (rule.directory_only && !is_directory) continue;
    const bool hit = rule.anchored ? matches(rule.pattern, relative, FNM_PATHNAME)
                                   : matches(rule.pattern, base_name(relative), 0);
    if (hit) return true;
  }
  return false;
}

}  // namespace tarvo::package
