#pragma once
// Where tarvo's own files are: everything is found relative to the running
// executable (<prefix>/bin/tarvo), so an installed tree and the build tree work alike.
#include <filesystem>

namespace tarvo::core::paths {

// <prefix>, the parent of the folder holding the executable.
std::filesystem::path install_prefix();

// <prefix>/share/tarvo/<relative>
std::filesystem::path data_file(const std::filesystem::path& relative);

// <prefix>/lib/tarvo/<name>
std::filesystem::path library_file(const std::filesystem::path& name);

}  // namespace tarvo::core::paths
