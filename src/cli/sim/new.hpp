#pragma once
// `tarvo sim new`: writes a new simulator project.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

// The surface asks for each text the command line does not give, offering these
// defaults, so the body always receives all three.
inline constexpr const char* kDefaultSimName = "my-sim";
inline constexpr const char* kDefaultSimDescription = "A demo sim";
inline constexpr const char* kDefaultSimLocation = "./";

struct NewOptions {
  std::optional<std::string> name;         // --name, -n
  std::optional<std::string> description;  // --description, -d
  std::optional<std::string> location;     // --location, -l
  bool is_docker = false;                  // --docker
};

void new_sim(const NewOptions& options);

// Creates <location>/<name>/ with a manifest, a working simulator program and a
// README (and a Dockerfile when `is_docker`), then prints what it made and what to
// try next. Refuses to write into an existing non-empty directory.
void create(const std::string& name, const std::string& description, const std::string& location,
            bool is_docker);

}  // namespace tarvo::cli::sim
