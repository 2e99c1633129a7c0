// `publish`: validate a simulator directory, package it and upload it to the
// organisation's catalogue.
#include <filesystem>
#include <stdexcept>

#include "cli/sim/publish.hpp"

#include "cli/sim/catalog.hpp"
#include "cli/sim/logger_name.hpp"
#include "cli/sim/target.hpp"
#include "cli/sim/validate.hpp"
#include "core/logger.hpp"
#include "package/filter.hpp"
#include "package/packer.hpp"
#include "term/console.hpp"
#include "term/progress_bar.hpp"

namespace tarvo::cli::sim {
namespace {

// "zip" for a plain simulator; the variant ("docker") for "sim-<variant>".
std::string upload_type(const std::string& kind) {
  if (kind == "sim") return "zip";
  std::string type = kind;
  for (auto at = type.find("sim-"); at != std::string::npos; at = type.find("sim-", at))
    type.erase(at, 4);
  return type;
}

// Packages the simulator, a progress bar on a terminal meanwhile.
package::Package pack_with_progress(const std::filesystem::path& directory) {
  const auto folder = directory.has_filename() ? directory : directory.parent_path();
  term::ProgressBar bar(stderr, "Packaging " + folder.filename().string());
  return package::pack(
      directory, [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); });
}

// One warning line for each packaged file that looks like a secret: it is published
// all the same (the ignore rules decide what is), but not without a word.
void warn_about_secrets(const package::Package& package) {
  const term::Console err(stderr);
  for (const auto& file : package.secret_like_files)
    err.print("[yellow]Warning: publishing " + term::escape(file) +
              ", which looks like a secret; list it in " + package::kIgnoreFile +
              " to leave it out[/yellow]");
}

}  // namespace

void publish(const PublishOptions& options) {
  _publish(effective_path(options.path, options.path_option).value_or("./"));
}

void _publish(const std::string& path) {
  const auto logger = core::get_logger(kLoggerName);
  logger.info("Validating the sim...");
  _validate(path, std::nullopt, "grpc", false);
  logger.info("Simulator validated successfully!");

  const auto absolute = (std::filesystem::current_path() / path).lexically_normal();
  PlatformSession platform(_platform_base_url());
  logger.info("Preparing to publish the simulator...");
  const auto package = pack_with_progress(absolute);
  warn_about_secrets(package);
  if (package.tar_gz.empty() || !std::filesystem::is_regular_file(package.tar_gz))
    throw std::logic_error("the simulator archive is missing after packaging");

  Json sim = platform.api.sims.get_by_name(platform.organization_uuid, package.plugin_name);
  logger.info("Publishing the simulator...");
  if (sim.is_null() || sim.empty())
    sim = platform.api.sims.create(platform.organization_uuid, package.plugin_name,
                                   package.plugin_description);
  const auto id = sim.find("id");
  if (id == sim.end())
    throw std::invalid_argument("the catalogue entry of sim \"" + package.plugin_name +
                                "\" has no \"id\": " + sim.dump());
  term::ProgressBar bar(stderr, "Uploading " + package.file_name);
  platform.api.sims.create_impl(
      platform.organization_uuid, _text_of(*id), package.tar_gz.string(),
      upload_type(package.plugin_type),
      [&bar](std::uint64_t sent, std::uint64_t total) { bar.update(sent, total); });
  logger.info("Simulator published successfully!");
}

}  // namespace tarvo::cli::sim
