#pragma once
// How the stand-in docker reads a Compose file: the YAML as JSON, every value
// interpolated from the environment with Compose's rules, failing with Compose's
// messages.
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::fakes {

using Json = nlohmann::ordered_json;
using Variables = std::map<std::string, std::string>;

// What Compose would print before exiting 1.
class ComposeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The YAML document of `path` as JSON: mappings as objects, sequences as arrays,
// plain null scalars as null and every other scalar as text.
Json load_yaml(const std::filesystem::path& path);

// One value interpolated: $$, $VAR, ${VAR}, ${VAR:-default}, ${VAR-default},
// ${VAR:?message}, ${VAR?message}, ${VAR:+other}, ${VAR+other}. `where` names the
// value in error messages (services.compute.image). Unset plain variables become
// empty, with Compose's warning appended to `warnings`.
std::string interpolate(const std::string& value, const Variables& variables,
                        const std::string& where, std::string& warnings);

// Every value (not key) of `document` interpolated, as Compose does for each
// subcommand that loads the project.
Json interpolate_document(const Json& document, const Variables& variables, std::string& warnings);

// KEY=VALUE lines of a .env file (comments and blank lines skipped).
Variables read_env_file(const std::filesystem::path& path);

}  // namespace tarvo::fakes
