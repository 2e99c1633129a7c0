#pragma once
// Packaging a simulator directory for upload to the platform's catalogue.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/temp_dir.hpp"

namespace tarvo::package {

// A simulator directory that cannot be packaged: no or a broken manifest, a link that
// leaves the directory, an unreadable file. what() names the file and the fault.
class PackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Package {
  std::filesystem::path tar_gz;    // the archive, inside `folder`
  std::string file_name;           // the archive's file name
  std::string plugin_name;         // from the manifest
  std::string plugin_description;  // from the manifest
  std::string plugin_type;         // the manifest's "kind": "sim" or "sim-<variant>"
  std::string plugin_version;      // the manifest's "version"
  core::TempDir folder;            // removed, archive and all, with the Package
  // Packaged files whose names look like secrets (package/secrets.hpp), for the
  // publisher to be told about; relative, "/"-separated, in archive order.
  std::vector<std::string> secret_like_files;
};

// Told how many bytes of file content are packaged so far, out of how many.
using PackProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Writes a gzip'd tar of the simulator in `directory` (absolute) into a private
// temporary folder. Entries are relative to the directory, in a fixed order and with
// owner names dropped, so that the same tree always gives the same bytes. Folders and
// files of package_filter.hpp are left out. A symbolic link is stored as a link, with
// a relative target, when it points to something inside the directory; one that
// points outside (or nowhere) is a PackageError. Links are never followed.
// `progress`, when given, hears how far it is as file content is written.
Package pack(const std::filesystem::path& directory, const PackProgress& progress = {});

}  // namespace tarvo::package
