#include "sim/manifest.hpp"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tarvo::sim {

namespace {

std::string text_field(const nlohmann::json& json, const std::string& file, const char* name,
                       bool required_non_empty) {
  auto it = json.find(name);
  if (it == json.end()) throw ManifestError(file + ": missing field \"" + name + "\"");
  if (!it->is_string()) throw ManifestError(file + ": field \"" + name + "\" must be text");
  auto value = it->get<std::string>();
  if (required_non_empty && value.empty())
    throw ManifestError(file + ": field \"" + name + "\" must not be empty");
  return value;
}

}  // namespace

Manifest read_manifest(const std::filesystem::path& dir) {
  const auto path = dir / kManifestFile;
  const auto file = path.string();
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error))
    throw ManifestError(dir.string() + ": not a simulator directory (no such directory)");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ManifestError(file + ": missing (a simulator directory needs a manifest)");
  std::stringstream text;
  text << in.rdbuf();
  auto json = nlohmann::json::parse(text.str(), nullptr, false);
  if (json.is_discarded()) throw ManifestError(file + ": not valid JSON");
  if (!json.is_object()) throw ManifestError(file + ": expected a JSON object");

  Manifest manifest;
  manifest.name = text_field(json, file, "name", true);
  manifest.description = text_field(json, file, "description", false);
  manifest.kind = text_field(json, file, "kind", true);
  if (manifest.kind != "sim" && (manifest.kind.rfind("sim-", 0) != 0 || manifest.kind.size() < 5))
    throw ManifestError(file + ": field \"kind\" must be \"sim\" or \"sim-<variant>\", not \"" +
                        manifest.kind + "\"");
  manifest.version = text_field(json, file, "version", false);
  auto command = json.find("command");
  if (command == json.end()) throw ManifestError(file + ": missing field \"command\"");
  if (!command->is_array() || command->empty())
    throw ManifestError(file + ": field \"command\" must be a non-empty list of texts");
  for (const auto& part : *command) {
    if (!part.is_string())
      throw ManifestError(file + ": field \"command\" must be a non-empty list of texts");
    manifest.command.push_back(part.get<std::string>());
  }
  if (manifest.command.front().empty())
    throw ManifestError(file + ": field \"command\" starts with an empty program name");
  return manifest;
}

}  // namespace tarvo::sim
