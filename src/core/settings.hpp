#pragma once
// The core settings: the platform's base URL and environment name, and how the
// user authenticates. Sources, strongest first: the environment (TARVO_API_URL,
// TARVO_ENV, TARVO_API_KEY, TARVO_ORGANIZATION), the config file
// $XDG_CONFIG_HOME/tarvo/config.json (keys api_url, env, api_key, organization),
// then the defaults below.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::core {

inline constexpr const char* kDefaultApiUrl = "https://api.tarvo.io";
inline constexpr const char* kDefaultEnv = "production";

struct Settings {
  std::string URL_API;                      // platform base URL, no trailing slash
  std::string TARVO_ENV;                    // deployment environment name
  std::optional<std::string> api_key;       // bearer token, when set
  std::optional<std::string> organization;  // answers the organisation choice
  // What the user should know about the config file, one line each, for the CLI to
  // show: keys it does not know (a misspelt one is otherwise silently ignored), and
  // an api_key in a file that others may read.
  std::vector<std::string> warnings;
};

// The keys a config file may hold.
inline constexpr const char* kConfigKeys[] = {"api_url", "env", "api_key", "organization"};

// Reads the settings afresh. A config file that cannot be read, is not JSON, is not
// an object or holds a non-text value is an error naming the file and the fault.
Settings load_settings();

// The config file's path ($XDG_CONFIG_HOME or ~/.config).
std::filesystem::path config_file_path();

}  // namespace tarvo::core
