#pragma once
// Runs a command line through the real command surfaces with a table of bodies that
// only record the options they were handed, so that flag parsing is tested without
// running any body.
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/surfaces.hpp"

namespace tarvo::test {

// The options the last recorded call of a body received.
template <typename Options>
std::optional<Options>& recorded() {
  static std::optional<Options> options;
  return options;
}

template <typename Options>
void record(const Options& options) {
  recorded<Options>() = options;
}

inline const cli::CommandTable& recording_commands() {
  static const cli::CommandTable table = [] {
    cli::CommandTable commands;
    commands.compute_connect = record<cli::compute::ConnectOptions>;
    commands.compute_project = record<cli::compute::ProjectOptions>;
    commands.compute_disconnect = record<cli::compute::DisconnectOptions>;
    commands.sim_validate = record<cli::sim::ValidateOptions>;
    commands.sim_benchmark = record<cli::sim::BenchmarkOptions>;
    commands.sim_new = record<cli::sim::NewOptions>;
    commands.sim_run = record<cli::sim::RunOptions>;
    commands.sim_publish = record<cli::sim::PublishOptions>;
    commands.sim_list = record<cli::sim::ListOptions>;
    commands.sim_retrieve = record<cli::sim::RetrieveOptions>;
    commands.sim_start = record<cli::sim::StartOptions>;
    commands.sim_logs = record<cli::sim::LogsOptions>;
    commands.sim_stop = record<cli::sim::StopOptions>;
    commands.sim_status = record<cli::sim::StatusOptions>;
    commands.sim_info = record<cli::sim::InfoOptions>;
    commands.sim_mappings = record<cli::sim::MappingsOptions>;
    return commands;
  }();
  return table;
}

// Parses `words` (without the program name) as `tarvo <words...>` and returns what
// the command's body would have received; CLI::ParseError for a usage error, and
// std::logic_error when the line reached no body or another one.
template <typename Options>
Options parse_command_line(std::vector<std::string> words) {
  CLI::App app{"tarvo", "tarvo"};
  app.set_help_flag("--help");
  cli::compute::mount(*app.add_subcommand("compute"), recording_commands);
  cli::sim::mount(*app.add_subcommand("sim"), recording_commands);

  recorded<Options>().reset();
  words.insert(words.begin(), "tarvo");
  std::vector<char*> argv;
  for (auto& word : words)
    argv.push_back(word.data());
  app.parse(static_cast<int>(argv.size()), argv.data());
  if (!recorded<Options>()) throw std::logic_error("the command line reached no such body");
  return *recorded<Options>();
}

}  // namespace tarvo::test
