#pragma once
// The one seam between the executable and the library of command bodies that it
// loads on first use: a versioned table of typed entry points, one per command, each
// taking its command's options struct as the surface filled it.
//
// Change kCommandTableVersion whenever the table or any options struct changes, so
// that an executable never calls into a library built from other sources.
#include <cstddef>

#include "cli/compute/connect.hpp"
#include "cli/compute/disconnect.hpp"
#include "cli/compute/project.hpp"
#include "cli/sim/benchmark.hpp"
#include "cli/sim/info.hpp"
#include "cli/sim/list.hpp"
#include "cli/sim/logs.hpp"
#include "cli/sim/mappings.hpp"
#include "cli/sim/new.hpp"
#include "cli/sim/publish.hpp"
#include "cli/sim/retrieve.hpp"
#include "cli/sim/run.hpp"
#include "cli/sim/start.hpp"
#include "cli/sim/status.hpp"
#include "cli/sim/stop.hpp"
#include "cli/sim/validate.hpp"

namespace tarvo::cli {

inline constexpr int kCommandTableVersion = 2;

struct CommandTable {
  int version = kCommandTableVersion;
  std::size_t size = sizeof(CommandTable);

  void (*compute_connect)(const compute::ConnectOptions&) = nullptr;
  void (*compute_project)(const compute::ProjectOptions&) = nullptr;
  void (*compute_disconnect)(const compute::DisconnectOptions&) = nullptr;

  void (*sim_validate)(const sim::ValidateOptions&) = nullptr;
  void (*sim_benchmark)(const sim::BenchmarkOptions&) = nullptr;
  void (*sim_new)(const sim::NewOptions&) = nullptr;
  void (*sim_run)(const sim::RunOptions&) = nullptr;
  void (*sim_publish)(const sim::PublishOptions&) = nullptr;
  void (*sim_list)(const sim::ListOptions&) = nullptr;
  void (*sim_retrieve)(const sim::RetrieveOptions&) = nullptr;
  void (*sim_start)(const sim::StartOptions&) = nullptr;
  void (*sim_logs)(const sim::LogsOptions&) = nullptr;
  void (*sim_stop)(const sim::StopOptions&) = nullptr;
  void (*sim_status)(const sim::StatusOptions&) = nullptr;
  void (*sim_info)(const sim::InfoOptions&) = nullptr;
  void (*sim_mappings)(const sim::MappingsOptions&) = nullptr;
};

// Where a surface finds the bodies: the executable loads the library on the first
// call; tests hand in a table of their own.
using CommandSource = const CommandTable& (*)();

}  // namespace tarvo::cli

// The one symbol the executable looks up in the loaded library.
extern "C" const tarvo::cli::CommandTable* tarvo_command_table();
