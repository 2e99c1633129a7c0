// The loaded library's side of the seam: its table of command bodies.
#include "cli/commands.hpp"

#include "core/interrupt.hpp"
#include "core/logger.hpp"
#include "term/console.hpp"

namespace tarvo::cli {
namespace {

// The library carries its own interrupt flag and logger: make the signals set this
// flag, and log lines render their markup like the console, before a body runs.
template <typename Options, void (*Body)(const Options&)>
void entry(const Options& options) {
  core::interrupt::install();
  core::set_log_sink(term::write_log_line);
  Body(options);
}

constexpr CommandTable kTable = [] {
  CommandTable table;
  table.compute_connect = entry<compute::ConnectOptions, compute::connect>;
  table.compute_project = entry<compute::ProjectOptions, compute::project>;
  table.compute_disconnect = entry<compute::DisconnectOptions, compute::disconnect>;
  table.sim_validate = entry<sim::ValidateOptions, sim::validate>;
  table.sim_benchmark = entry<sim::BenchmarkOptions, sim::benchmark>;
  table.sim_new = entry<sim::NewOptions, sim::new_sim>;
  table.sim_run = entry<sim::RunOptions, sim::run>;
  table.sim_publish = entry<sim::PublishOptions, sim::publish>;
  table.sim_list = entry<sim::ListOptions, sim::list>;
  table.sim_retrieve = entry<sim::RetrieveOptions, sim::retrieve>;
  table.sim_start = entry<sim::StartOptions, sim::start>;
  table.sim_logs = entry<sim::LogsOptions, sim::logs>;
  table.sim_stop = entry<sim::StopOptions, sim::stop>;
  table.sim_status = entry<sim::StatusOptions, sim::status>;
  table.sim_info = entry<sim::InfoOptions, sim::info>;
  table.sim_mappings = entry<sim::MappingsOptions, sim::mappings>;
  return table;
}();

}  // namespace
}  // namespace tarvo::cli

extern "C" __attribute__((visibility("default"))) const tarvo::cli::CommandTable*
tarvo_command_table() {
  return &tarvo::cli::kTable;
}
