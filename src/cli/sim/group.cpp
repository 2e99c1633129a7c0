// The simulator group's command surface: the thirteen commands in their order, with
// their options, defaults, prompts and help texts. Each command binds its flags into
// its options struct (where each default is written once) and hands it to its body.
//
// "-p": where several options of one command would claim it, the last declared one
// takes it (`--protocol` in `validate` and `run`); in `benchmark` and `publish` it
// is the short form of `--path`.
#include <memory>

#include "cli/surfaces.hpp"
#include "docker/sim_name.hpp"
#include "term/console.hpp"
#include "term/prompt.hpp"

namespace tarvo::cli::sim {
namespace {

// A `--x/--no-x` pair bound to `value`, whose initial value is the default.
void add_switch(CLI::App* command, const std::string& name, bool& value, const std::string& help) {
  command->add_flag("--" + name + ",!--no-" + name, value, help);
}

constexpr const char* kAddressHelp =
    "Address of a running sim: host:port (gRPC), grpc://host:port or http://host:port";
constexpr const char* kJsonHelp = "Print one JSON document on standard output, for scripts";

// What is wrong with a simulator name, as one line; empty when it is good.
std::string name_problem(const std::string& name) {
  const auto problem = docker::sim_name_problem(name);
  return problem ? "'" + name + "' cannot name a simulator: " + *problem : std::string();
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

// Asks for the name until it is one a simulator can have, saying why not meanwhile.
void ask_name_unless_given(std::optional<std::string>& name) {
  if (name) return;
  for (;;) {
    name = term::prompt("Name", kDefaultSimName);
    const std::string problem = name_problem(*name);
    if (problem.empty()) return;
    term::Console(stderr).print("[red]" + term::escape(problem) + "[/red]");
  }
}

void add_new(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("new", "Create a new Sim");
  auto options = std::make_shared<NewOptions>();
  command
      ->add_option("--name,-n", options->name,
                   "Name: lower-case letters and digits, with '.', '_' or '-' between them "
                   "(asked for when not given)")
      ->check(CLI::Validator(name_problem, ""));
  command->add_option("--description,-d", options->description,
                      "Description (asked for when not given)");
  command->add_option("--location,-l", options->location,
                      "Location: the folder to create the sim in; ~ is your home "
                      "(asked for when not given)");
  command->add_flag("--docker", options->is_docker, "Whether to create a Docker supported sim");
  command->callback([=] {
    ask_name_unless_given(options->name);
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
  add_switch(command, "local", options->local,
             "List the simulator images of the local Docker engine instead");
  command->add_flag("--json", options->json, kJsonHelp);
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
  command
      ->add_option("SIM_CONTAINER", options->sim_container,
                   "The sim to start: its name, the image being tarvo/<name>")
      ->required();
  add_switch(command, "enable-historian", options->enable_historian,
             "Enable the historian in the container");
  add_switch(command, "stream", options->stream,
             "Follow the sim's logs until it stops (Ctrl-C stops following)");
  add_switch(command, "show-name", options->show_name,
             "Print only the container's name, nothing about starting it");
  command->callback([=] { commands().sim_start(*options); });
}

void add_logs(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("logs", "Get the logs of the given sim");
  auto options = std::make_shared<LogsOptions>();
  command->add_option("SIM_ID", options->sim_id, "The sim container: its name")->required();
  add_switch(command, "stream", options->stream,
             "Follow the logs until the sim stops (Ctrl-C stops following)");
  command->callback([=] { commands().sim_logs(*options); });
}

void add_stop(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand("stop",
                                       "Stop the given sim or all sims.\n"
                                       "\n"
                                       "Args:\n"
                                       "    sim_id (str, optional): The sim id to stop.");
  auto options = std::make_shared<StopOptions>();
  command->add_option("--sim-id", options->sim_id,
                      "The sim container to stop; without it, every running sim");
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
  command->add_option("--sim-name", options->sim_name,
                      "One sim container to show; without it, a table of every running sim");
  add_switch(command, "moniker", options->moniker, "With --sim-name: print only its address");
  command->add_flag("--json", options->json, kJsonHelp);
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
  command->add_option("--address", options->address, kAddressHelp);
  command->add_option("--name", options->name,
                      "A sim to start in a container for the occasion, instead of --address");
  command->add_option("--env-id", options->env_id, "The env id to make the sim with");
  command->callback([=] { commands().sim_info(*options); });
}

void add_mappings(CLI::App& group, CommandSource commands) {
  auto* command = group.add_subcommand(
      "mappings",
      "Convert the Sensor and Action space to a JSON defining the variables that exist in "
      "those spaces");
  auto options = std::make_shared<MappingsOptions>();
  command->add_option("--image", options->image,
                      "An image to start in a container for the occasion, instead of --address");
  command->add_option("--address", options->address, kAddressHelp);
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
