#pragma once
// Where tarvo's own files are: everything is found relative to the running
// executable (<prefix>/bin/tarvo), so an installed tree and the build tree work alike.
#include <filesystem>
#include <string>
#include <string_view>

namespace tarvo::core::paths {

// <prefix>, the parent of the folder holding the executable.
std::filesystem::path install_prefix();

// <prefix>/share/tarvo/<relative>
std::filesystem::path data_file(const std::filesystem::path& relative);

// <prefix>/lib/tarvo/<name>
std::filesystem::path library_file(const std::filesystem::path& name);

// `path` with a leading "~" or "~/" read as the home directory ($HOME, else the
// account's), as a shell would; any other path ("~user/x", "a/~") as it is. A "~"
// with no home to be found is std::runtime_error.
std::string expand_home(std::string_view path);

}  // namespace tarvo::core::paths
