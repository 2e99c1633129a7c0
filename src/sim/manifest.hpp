#pragma once
// The simulator manifest: `tarvo.json` in a simulator directory.
//   {"name": "cartpole", "description": "...", "kind": "sim", "version": "1.0.0",
//    "command": ["python3", "sim.py"]}
// "command" is the argument list that starts the simulator program; it runs with the
// simulator directory as its working directory (a first element with a "/" is taken
// relative to that directory, otherwise it is looked up on PATH).
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo::sim {

inline constexpr const char* kManifestFile = "tarvo.json";

struct Manifest {
  std::string name;
  std::string description;
  std::string kind;     // "sim", or "sim-<variant>" such as "sim-docker"
  std::string version;  // free text
  std::vector<std::string> command;
};

// A missing or malformed manifest; what() names the file and the field.
class ManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Manifest read_manifest(const std::filesystem::path& dir);

}  // namespace tarvo::sim
