// The simulator group's command surface: the thirteen commands in their order, with
// their options, defaults, prompts and help texts. Each command hands its values to
// its body ("sim.<command>") in the loaded library; `new` calls the host's
// scaffolding operation directly.
//
// "-p": where several options of one command would claim it, the last declared one
// takes it (`--protocol` in `validate` and `run`); in `benchmark` and `publish` it
// is the short form of `--path`.
#include <charconv>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "cli/body.hpp"
#include "cli/sim/new.hpp"
#include "cli/surfaces.hpp"
#include "term/prompt.hpp"

namespace tarvo::cli::sim {
namespace {

// A text option that may be absent; its value is read after parsing.
struct TextOption {
  std::string value;
  CLI::Option* option = nullptr;
  bool given() const { return option->count() > 0; }
  nlohmann::ordered_json json() const { return given() ? Args(value) : Args(nullptr); }
};

// A `--x/--no-x` pair with its default.
struct Switch {
  bool value;
};

std::shared_ptr<TextOption> text_option(CLI::App* command, const std::string& flags,
                                        const std::string& help = {}) {
  auto option = std::make_shared<TextOption>();
  option->option = command->add_option(flags, option->value, help);
  return option;
}

std::shared_ptr<TextOption> positional(CLI::App* command, const std::string& name,
                                       const std::string& help = {}) {
  return text_option(command, name, help);
}

std::shared_ptr<Switch> switch_pair(CLI::App* command, const std::string& name, bool default_value,
                                    const std::string& help = {}) {
  auto flag = std::make_shared<Switch>(Switch{default_value});
  command->add_flag("--" + name + ",!--no-" + name, flag->value, help);
  return flag;
}

// The path a command works on: --path when given, else the positional path.
Args effective_path(const TextOption& path, const TextOption& path_option,
                    std::optional<std::string> fallback = std::nullopt) {
  if (path_option.given()) return path_option.value;
  if (path.given()) return path.value;
  return fallback ? Args(*fallback) : Args(nullptr);
}

int to_port(const std::string& text) {
  int port = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, port);
  if (text.empty() || error != std::errc() || ptr != end)
    throw std::invalid_argument("invalid port '" + text + "': not a decimal integer");
  return port;
}

std::string ask_unless_given(const TextOption& option, const std::string& prompt,
                             const std::string& default_value) {
  if (option.given()) return option.value;
  return term::prompt(prompt, default_value);
}

void add_validate(CLI::App& group) {
  auto* command =
      group.add_subcommand("validate", "Validate a sim to see if it is implemented correctly");
  auto path = positional(command, "PATH", "Path to the sim (positional argument)");
  auto path_option = text_option(command, "--path", "Path to the sim (option)");
  auto address = text_option(command, "--address,-a", "Address to the sim, e.g., localhost:1337");
  auto protocol = std::make_shared<std::string>("grpc");
  command->add_option("--protocol,-p", *protocol, "Protocol to run the sim (grpc, http)")
      ->capture_default_str();
  command->callback([=] {
    run_body("sim.validate", {{"path", effective_path(*path, *path_option)},
                              {"address", address->json()},
                              {"protocol", *protocol}});
  });
}

void add_benchmark(CLI::App& group) {
  auto* command = group.add_subcommand(
      "benchmark", "Benchmarks a sim to see how many samples per second we can get");
  auto path = positional(command, "PATH", "Path to the sim (positional argument)");
  auto path_option = text_option(command, "--path,-p", "Path to the sim (option)");
  auto address = text_option(command, "--address,-a", "Address to the sim, e.g., localhost:1337");
  auto samples = std::make_shared<long long>(1000);
  command->add_option("--samples,-s", *samples, "Number of samples to benchmark")
      ->capture_default_str();
  command->callback([=] {
    run_body("sim.benchmark", {{"path", effective_path(*path, *path_option)},
                               {"address", address->json()},
                               {"samples", *samples}});
  });
}

void add_new(CLI::App& group) {
  auto* command = group.add_subcommand("new", "Create a new Sim");
  auto name = text_option(command, "--name,-n", "Name");
  auto description = text_option(command, "--description,-d", "Description");
  auto location = text_option(command, "--location,-l", "Location");
  auto is_docker = std::make_shared<bool>(false);
  command->add_flag("--docker", *is_docker, "Whether to create a Docker supported sim");
  command->callback([=] {
    const auto name_value = ask_unless_given(*name, "Name", "my-sim");
    const auto description_value = ask_unless_given(*description, "Description", "A demo sim");
    const auto location_value = ask_unless_given(*location, "Location", "./");
    create(name_value, description_value, location_value, *is_docker);
  });
}

void add_run(CLI::App& group) {
  auto* command = group.add_subcommand("run", "Try to run the sim situated in the given location");
  auto path = positional(command, "PATH", "Path to the sim (positional argument)");
  auto path_option = text_option(command, "--path", "Path to the sim (option)");
  auto host = std::make_shared<std::string>("0.0.0.0");
  command->add_option("--host,-h", *host, "Host to run the sim")->capture_default_str();
  auto port = std::make_shared<std::string>("1337");
  command->add_option("--port", *port, "Port to run the sim")->capture_default_str();
  auto protocol = std::make_shared<std::string>("grpc");
  command->add_option("--protocol,-p", *protocol, "Protocol to run the sim (grpc, http)")
      ->capture_default_str();
  auto env_init = std::make_shared<std::string>("{}");
  command->add_option("--env-init,-e", *env_init, "Environment init")->capture_default_str();
  command->callback([=] {
    const Args effective = effective_path(*path, *path_option, "./");
    const int port_number = to_port(*port);
    run_body("sim.run", {{"path", effective},
                         {"host", *host},
                         {"port", port_number},
                         {"protocol", *protocol},
                         {"env_init", *env_init}});
  });
}

void add_publish(CLI::App& group) {
  auto* command = group.add_subcommand("publish", "Publish a Simulator and upload it");
  auto path = positional(command, "PATH", "Path to the Simulator (positional argument)");
  auto path_option = text_option(command, "--path,-p", "Path to the Simulator (option)");
  command->callback([=] {
    run_body("sim.publish", {{"path", effective_path(*path, *path_option, "./")}});
  });
}

void add_list(CLI::App& group) {
  auto* command = group.add_subcommand(
      "list",
      "List all sims under a project\n"
      "Optional Args:\n"
      "    local (bool, optional): Whether to list the local sim images on docker. Defaults to "
      "False.");
  auto local = switch_pair(command, "local", false);
  command->callback([=] { run_body("sim.list", {{"local", local->value}}); });
}

void add_retrieve(CLI::App& group) {
  group.add_subcommand("retrieve", "Retrieve a sim's image reference and registry credential")
      ->callback([] { run_body("sim.retrieve", Args::object()); });
}

void add_start(CLI::App& group) {
  auto* command = group.add_subcommand(
      "start",
      "Start the given sim\n"
      "\n"
      "Args:\n"
      "    sim_container (str): The sim container name to start\n"
      "    enable_historian (bool, optional): Whether to enable the historian. Defaults to True.\n"
      "    stream (bool, optional): Whether to stream the logs. Defaults to False.");
  auto sim_container = std::make_shared<std::string>();
  command->add_option("SIM_CONTAINER", *sim_container)->required();
  auto enable_historian = switch_pair(command, "enable-historian", true);
  auto stream = switch_pair(command, "stream", false);
  auto show_name = switch_pair(command, "show-name", false);
  command->callback([=] {
    run_body("sim.start", {{"sim_container", *sim_container},
                           {"enable_historian", enable_historian->value},
                           {"stream", stream->value},
                           {"show_name", show_name->value}});
  });
}

void add_logs(CLI::App& group) {
  auto* command = group.add_subcommand("logs", "Get the logs of the given sim");
  auto sim_id = std::make_shared<std::string>();
  command->add_option("SIM_ID", *sim_id)->required();
  auto stream = switch_pair(command, "stream", false);
  command->callback([=] {
    run_body("sim.logs", {{"sim_id", *sim_id}, {"stream", stream->value}});
  });
}

void add_stop(CLI::App& group) {
  auto* command = group.add_subcommand("stop",
                                       "Stop the given sim or all sims.\n"
                                       "\n"
                                       "Args:\n"
                                       "    sim_id (str, optional): The sim id to stop.");
  auto sim_id = text_option(command, "--sim-id");
  command->callback([=] { run_body("sim.stop", {{"sim_id", sim_id->json()}}); });
}

void add_status(CLI::App& group) {
  auto* command = group.add_subcommand(
      "status",
      "Get the status of the sims running\n"
      "\n"
      "Args:\n"
      "    sim_name (str, optional): The sim name to get the status for. Defaults to None.\n"
      "    moniker (bool, optional): Whether to get the moniker. Defaults to False.");
  auto sim_name = text_option(command, "--sim-name");
  auto moniker = switch_pair(command, "moniker", false);
  command->callback([=] {
    run_body("sim.status", {{"sim_name", sim_name->json()}, {"moniker", moniker->value}});
  });
}

void add_info(CLI::App& group) {
  auto* command = group.add_subcommand(
      "info",
      "Get more info about a running sim\n"
      "\n"
      "Args:\n"
      "    address (str): The address of the sim\n"
      "    env_id (str): The env id of the sim (e.g., \"InvertedPendulum-v4\")");
  auto address = std::make_shared<std::string>();
  command->add_option("--address", *address);
  auto name = std::make_shared<std::string>();
  command->add_option("--name", *name);
  auto env_id = std::make_shared<std::string>();
  command->add_option("--env-id", *env_id);
  command->callback([=] {
    run_body("sim.info", {{"address", *address}, {"name", *name}, {"env_id", *env_id}});
  });
}

void add_mappings(CLI::App& group) {
  auto* command = group.add_subcommand(
      "mappings",
      "Convert the Sensor and Action space to a JSON defining the variables that exist in "
      "those spaces");
  auto image = text_option(command, "--image");
  auto address = text_option(command, "--address");
  command->callback([=] {
    run_body("sim.mappings", {{"image", image->json()}, {"address", address->json()}});
  });
}

}  // namespace

void mount(CLI::App& group) {
  add_validate(group);
  add_benchmark(group);
  add_new(group);
  add_run(group);
  add_publish(group);
  add_list(group);
  add_retrieve(group);
  add_start(group);
  add_logs(group);
  add_stop(group);
  add_status(group);
  add_info(group);
  add_mappings(group);
}

}  // namespace tarvo::cli::sim
