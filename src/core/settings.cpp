#include "core/settings.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/files.hpp"
#include "core/json_limits.hpp"

namespace tarvo::core {
namespace {

std::optional<std::string> from_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value && *value) return std::string(value);
  return std::nullopt;
}

std::runtime_error config_error(const std::filesystem::path& path, const std::string& fault) {
  return std::runtime_error("config file " + path.string() + ": " + fault);
}

// The config file's values; an empty object when there is no file.
nlohmann::json read_config(const std::filesystem::path& path) {
  std::optional<std::string> text;
  try {
    text = files::read_if_exists(path);
  } catch (const std::system_error& e) {
    throw config_error(path, std::string("cannot read (") + e.code().message() + ")");
  }
  if (!text) return nlohmann::json::object();
  nlohmann::json config;
  try {
    config = parse_outside_json<nlohmann::json>(*text);
  } catch (const JsonError& e) {
    throw config_error(path, e.what());
  }
  if (!config.is_object()) throw config_error(path, "not a JSON object");
  return config;
}

std::optional<std::string> from_config(const nlohmann::json& config, const char* key,
                                       const std::filesystem::path& path) {
  const auto it = config.find(key);
  if (it == config.end() || it->is_null()) return std::nullopt;
  if (!it->is_string())
    throw config_error(path, std::string("\"") + key + "\" must be text, not " + it->type_name());
  return it->get<std::string>();
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names)
    text += (text.empty() ? "" : ", ") + ("'" + name + "'");
  return text;
}

// One line naming every key the file holds that none of the settings reads.
std::optional<std::string> unknown_keys_warning(const nlohmann::json& config,
                                                const std::filesystem::path& path) {
  std::vector<std::string> unknown;
  for (const auto& [key, value] : config.items()) {
    const bool known =
        std::find(std::begin(kConfigKeys), std::end(kConfigKeys), key) != std::end(kConfigKeys);
    if (!known) unknown.push_back(key);
  }
  if (unknown.empty()) return std::nullopt;
  std::vector<std::string> known(std::begin(kConfigKeys), std::end(kConfigKeys));
  return "config file " + path.string() + ": " + (unknown.size() == 1 ? "key " : "keys ") +
         quoted_list(unknown) + " unknown and ignored; the known keys are " + quoted_list(known);
}

// A secret in a file that others may read: the way ssh treats a private key, but
// a warning, not a refusal.
std::optional<std::string> exposed_key_warning(const nlohmann::json& config,
                                               const std::filesystem::path& path) {
  const auto key = config.find("api_key");
  if (key == config.end() || key->is_null()) return std::nullopt;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IROTH)) == 0)
    return std::nullopt;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return "config file " + path.string() + " holds api_key but its mode " + mode +
         " lets others read it; make it private with: chmod 600 " + path.string();
}

}  // namespace

std::filesystem::path config_file_path() {
  if (const char* config_home = std::getenv("XDG_CONFIG_HOME"); config_home && *config_home)
    return std::filesystem::path(config_home) / "tarvo" / "config.json";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".config" / "tarvo" / "config.json";
}

Settings load_settings() {
  const auto path = config_file_path();
  const auto config = read_config(path);
  // Every key is checked, also those the environment overrides, so a broken file is
  // reported now rather than on the day the variable is unset.
  const auto file_url = from_config(config, "api_url", path);
  const auto file_env = from_config(config, "env", path);
  const auto file_key = from_config(config, "api_key", path);
  const auto file_organization = from_config(config, "organization", path);

  Settings settings;
  settings.URL_API = from_environment("TARVO_API_URL").value_or(file_url.value_or(kDefaultApiUrl));
  while (settings.URL_API.size() > 1 && settings.URL_API.back() == '/')
    settings.URL_API.pop_back();
  settings.TARVO_ENV = from_environment("TARVO_ENV").value_or(file_env.value_or(kDefaultEnv));
  settings.api_key = from_environment("TARVO_API_KEY");
  if (!settings.api_key) settings.api_key = file_key;
  settings.organization = from_environment("TARVO_ORGANIZATION");
  if (!settings.organization) settings.organization = file_organization;
  for (const auto& warning :
       {unknown_keys_warning(config, path), exposed_key_warning(config, path)})
    if (warning) settings.warnings.push_back(*warning);
  return settings;
}

}  // namespace tarvo::core
