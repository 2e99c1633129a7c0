// The simulator group's command surface: the thirteen commands in their order, with
// their options, defaults, prompts and help texts. Each command binds its flags into
// its options struct (where each default is written once) and hands it to its body.
//
// "-p": where several options of one command would claim it, the last declared one
// takes it (`--protocol` in `validate` and `run`); in `benchmark` and `publish` it
// is the short form of `--path`.
#include <memory>

#include "cli/surfaces.hpp"
#include "term/prompt.hpp"

namespace tarvo::cli::sim {
namespace {

// A `--x/--no-x` pair bound to `value`, whose initial value is the default.
void add_switch(CLI::App* command, const std::string& name, bool& value) {
  command->add_flag("--" + name + ",!--no-" + name, value);
}

void add_validate(CLI::App& group, CommandSource commands) {
  auto* command =
      group.add_subcommand("validate", "Validate a sim to see if it is implemented correctly");
  auto options = std::make_shared<ValidateOptions>();
  command->add_option("PATH", options->path, "Path to the sim (positional argument)");
  command->add_option("--path", options->path_option, "Path to the sim (option)");
  command->add_option("--address,-a", options->address, "Address to the sim, e.g., localhost:1337");
  command->add_option("--protocol,-p", options->protocol, "Protocol to run the sim (grpc, http)")
      ->capture_default_str();
  command->callback([=] { commands().sim_validate(*options); });
}

void add_benchmark(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "benchmark", "Benchmarks a sim to see how many samples per second we can get");
  auto options = std::make_shared<BenchmarkOptions>();
  command->add_option("PATH", options->path, "Path to the sim (positional argument)");
  command->add_option("--path,-p", options->path_option, "Path to the sim (option)");
  command->add_option("--address,-a", options->address, "Address to the sim, e.g., localhost:1337");
  command->add_option("--samples,-s", options->samples, "Number of samples to benchmark")
      ->capture_default_str();
  command->callback([=] { commands().sim_benchmark(*options); });
}

// Asks for a text the command line left out, offering `default_value`.
void ask_unless_given(std::optional<std::string>& value, const std::string& prompt,
                      const std::string& default_value) {
  if (!value) value = term::prompt(prompt, default_value);
}

void add_new(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("new", "Create a new Sim");
  auto options = std::make_shared<NewOptions>();
  command->add_option("--name,-n", options->name, "Name");
  command->add_option("--description,-d", options->description, "Description");
  command->add_option("--location,-l", options->location, "Location");
  command->add_flag("--docker", options->is_docker, "Whether to create a Docker supported sim");
  command->callback([=] {
    ask_unless_given(options->name, "Name", kDefaultSimName);
    ask_unless_given(options->description, "Description", kDefaultSimDescription);
    ask_unless_given(options->location, "Location", kDefaultSimLocation);
    commands().sim_new(*options);
  });
}

void add_run(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("run", "Try to run the sim situated in the given location");
  auto options = std::make_shared<RunOptions>();
  command->add_option("PATH", options->path, "Path to the sim (positional argument)");
  command->add_option("--path", options->path_option, "Path to the sim (option)");
  command->add_option("--host,-h", options->host, "Host to run the sim")->capture_default_str();
  command->add_option("--port", options->port, "Port to run the sim")->capture_default_str();
  command->add_option("--protocol,-p", options->protocol, "Protocol to run the sim (grpc, http)")
      ->capture_default_str();
  command->add_option("--env-init,-e", options->env_init, "Environment init")
      ->capture_default_str();
  command
      ->add_option("--max-sessions", options->max_sessions,
                   "Sessions (simulator processes) served at once; more are refused")
      ->capture_default_str();
  command->callback([=] { commands().sim_run(*options); });
}

void add_publish(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("publish", "Publish a Simulator and upload it");
  auto options = std::make_shared<PublishOptions>();
  command->add_option("PATH", options->path, "Path to the Simulator (positional argument)");
  command->add_option("--path,-p", options->path_option, "Path to the Simulator (option)");
  command->callback([=] { commands().sim_publish(*options); });
}

void add_list(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "list",
      "List all sims under a project\n"
      "Optional Args:\n"
      "    local (bool, optional): Whether to list the local sim images on docker. Defaults to "
      "False.");
  auto options = std::make_shared<ListOptions>();
  add_switch(command, "local", options->local);
  command->callback([=] { commands().sim_list(*options); });
}

void add_retrieve(CLI::App& group, CommandSource commands) {
  group.add_subcommand("retrieve", "Retrieve a sim's image reference and registry credential")
      ->callback([=] { commands().sim_retrieve(RetrieveOptions{}); });
}

void add_start(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "start",
      "Start the given sim\n"
      "\n"
      "Args:\n"
      "    sim_container (str): The sim container name to start\n"
      "    enable_historian (bool, optional): Whether to enable the historian. Defaults to True.\n"
      "    stream (bool, optional): Whether to stream the logs. Defaults to False.");
  auto options = std::make_shared<StartOptions>();
  command->add_option("SIM_CONTAINER", options->sim_container)->required();
  add_switch(command, "enable-historian", options->enable_historian);
  add_switch(command, "stream", options->stream);
  add_switch(command, "show-name", options->show_name);
  command->callback([=] { commands().sim_start(*options); });
}

void add_logs(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("logs", "Get the logs of the given sim");
  auto options = std::make_shared<LogsOptions>();
  command->add_option("SIM_ID", options->sim_id)->required();
  add_switch(command, "stream", options->stream);
  command->callback([=] { commands().sim_logs(*options); });
}

void add_stop(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("stop",
                                       "Stop the given sim or all sims.\n"
                                       "\n"
                                       "Args:\n"
                                       "    sim_id (str, optional): The sim id to stop.");
  auto options = std::make_shared<StopOptions>();
  command->add_option("--sim-id", options->sim_id);
  command->callback([=] { commands().sim_stop(*options); });
}

void add_status(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "status",
      "Get the status of the sims running\n"
      "\n"
      "Args:\n"
      "    sim_name (str, optional): The sim name to get the status for. Defaults to None.\n"
      "    moniker (bool, optional): Whether to get the moniker. Defaults to False.");
  auto options = std::make_shared<StatusOptions>();
  command->add_option("--sim-name", options->sim_name);
  add_switch(command, "moniker", options->moniker);
  command->callback([=] { commands().sim_status(*options); });
}

void add_info(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "info",
      "Get more info about a running sim\n"
      "\n"
      "Args:\n"
      "    address (str): The address of the sim\n"
      "    env_id (str): The env id of the sim (e.g., \"InvertedPendulum-v4\")");
  auto options = std::make_shared<InfoOptions>();
  command->add_option("--address", options->address);
  command->add_option("--name", options->name);
  command->add_option("--env-id", options->env_id);
  command->callback([=] { commands().sim_info(*options); });
}

void add_mappings(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "mappings",
      "Convert the Sensor and Action space to a JSON defining the variables that exist in "
      "those spaces");
  auto options = std::make_shared<MappingsOptions>();
  command->add_option("--image", options->image);
  command->add_option("--address", options->address);
  command->callback([=] { commands().sim_mappings(*options); });
}

}  // namespace

void mount(CLI::App& group, CommandSource commands) {
  add_validate(group, commands);
  add_benchmark(group, commands);
  add_new(group, commands);
  add_run(group, commands);
  add_publish(group, commands);
  add_list(group, commands);
  add_retrieve(group, commands);
  add_start(group, commands);
  add_logs(group, commands);
  add_stop(group, commands);
  add_status(group, commands);
  add_info(group, commands);
  add_mappings(group, commands);
}

}  // namespace tarvo::cli::sim
