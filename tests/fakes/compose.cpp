#include "compose.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

namespace tarvo::fakes {
namespace fs = std::filesystem;
namespace {

// Options of `docker compose` itself that take a value.
const std::set<std::string> kGlobalWithValue = {
    "-f",         "--file",    "-p",     "--project-name", "--project-directory",
    "--env-file", "--profile", "--ansi", "--progress",     "--parallel"};
const std::set<std::string> kGlobalFlags = {"--compatibility", "--dry-run", "--all-resources"};
// Options of `exec` that take a value; the service name follows the options.
const std::set<std::string> kExecWithValue = {"-e", "--env",     "-u",     "--user",
                                              "-w", "--workdir", "--index"};
const std::set<std::string> kSubcommands = {
    "build", "config", "cp",    "create", "down",    "events", "exec",    "images",  "kill",
    "logs",  "ls",     "pause", "port",   "ps",      "pull",   "push",    "restart", "rm",
    "run",   "start",  "stop",  "top",    "unpause", "up",     "version", "wait",    "watch"};

std::string default_project_name(const fs::path& directory) {
  std::string name;
  for (char c : directory.filename().string()) {
    const auto lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::isalnum(static_cast<unsigned char>(lower)) || lower == '-' || lower == '_')
      name += lower;
  }
  return name;
}

}  // namespace

Refusal docker_without_compose(const std::vector<std::string>& compose_args) {
  // docker 20.10 parses its own flags first, so a leading -f is its error.
  if (!compose_args.empty() && compose_args[0] == "-f")
    return {"unknown shorthand flag: 'f' in -f\nSee 'docker --help'.\n", 125};
  return {"docker: 'compose' is not a docker command.\nSee 'docker --help'\n", 1};
}

ComposeRun::ComposeRun(fs::path folder, const std::vector<std::string>& args,
                       const Variables& environment)
    : folder_(std::move(folder)) {
  std::vector<fs::path> files;
  std::optional<std::string> project_name;
  std::optional<fs::path> project_directory;
  std::optional<fs::path> env_file;
  std::size_t i = 0;
  for (; i < args.size() && args[i].rfind("-", 0) == 0; ++i) {
    std::string flag = args[i];
    std::optional<std::string> value;
    if (const auto equals = flag.find('=');
        flag.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
    }
    if (kGlobalFlags.count(flag)) continue;
    if (!kGlobalWithValue.count(flag)) throw ComposeError("unknown flag: " + flag);
    if (!value) {
      if (i + 1 >= args.size()) throw ComposeError("flag needs an argument: " + flag);
      value = args[++i];
    }
    if (flag == "-f" || flag == "--file") files.emplace_back(*value);
    if (flag == "-p" || flag == "--project-name") project_name = *value;
    if (flag == "--project-directory") project_directory = *value;
    if (flag == "--env-file") env_file = *value;
  }
  if (i >= args.size()) throw ComposeError("a subcommand is required");
  subcommand_ = args[i];
  if (!kSubcommands.count(subcommand_))
    throw ComposeError("unknown docker command: \"compose " + subcommand_ + "\"");
  subcommand_args_.assign(args.begin() + static_cast<long>(i) + 1, args.end());
  if (subcommand_ == "version" || subcommand_ == "ls") return;  // no project needed

  if (files.empty()) {
    const fs::path here = fs::current_path();
    for (const char* name :
         {"compose.yaml", "compose.yml", "docker-compose.yaml", "docker-compose.yml"}) {
      if (fs::exists(here / name)) {
        files.push_back(here / name);
        break;
      }
    }
    if (files.empty()) throw ComposeError("no configuration file provided: not found");
  }
  if (files.size() > 1) throw ComposeError("this stand-in reads one Compose file only");
  file_ = fs::absolute(files[0]);
  const fs::path directory = project_directory ? *project_directory : file_.parent_path();

  // Variables: the .env file of the project, overridden by the environment.
  variables_ = read_env_file(env_file ? *env_file : directory / ".env");
  for (const auto& [name, value] : environment)
    variables_[name] = value;

  const Json document = load_yaml(file_);
  config_ = interpolate_document(document, variables_, warnings_);
  if (!config_.contains("services") || !config_["services"].is_object())
    throw ComposeError("no service selected");

  if (project_name) {
    project_ = *project_name;
  } else if (auto found = variables_.find("COMPOSE_PROJECT_NAME");
             found != variables_.end() && !found->second.empty()) {
    project_ = found->second;
  } else if (config_.contains("name") && config_["name"].is_string()) {
    project_ = config_["name"].get<std::string>();
  } else {
    project_ = default_project_name(directory);
  }
}

Json ComposeRun::service_environment(const Json& service) const {
  Json resolved = Json::object();
  const Json environment = service.value("environment", Json::object());
  auto from_variables = [&](const std::string& name) {
    // A name without a value is taken from Compose's own environment, or left out.
    if (auto found = variables_.find(name); found != variables_.end())
      resolved[name] = found->second;
  };
  if (environment.is_object()) {
    for (const auto& [name, value] : environment.items()) {
      if (value.is_null())
        from_variables(name);
      else
        resolved[name] = value.is_string() ? value.get<std::string>() : value.dump();
    }
  } else if (environment.is_array()) {
    for (const auto& entry : environment) {
      const std::string text = entry.is_string() ? entry.get<std::string>() : entry.dump();
      const auto equals = text.find('=');
      if (equals == std::string::npos)
        from_variables(text);
      else
        resolved[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  return resolved;
}

void ComposeRun::begin(const Json* scripted) {
  if (subcommand_ == "up") {
    if (scripted && !scripted->value("running", true)) return;
    Json stack = {{"file", file_.string()}, {"services", Json::object()}};
    for (const auto& [name, service] : config_["services"].items())
      stack["services"][name] = {{"environment", service_environment(service)}};
    Json stacks = load_stacks();
    stacks[project_] = stack;
    store_stacks(stacks);
  } else if (subcommand_ == "exec") {
    std::size_t i = 0;
    while (i < subcommand_args_.size() && subcommand_args_[i].rfind("-", 0) == 0)
      i += kExecWithValue.count(subcommand_args_[i]) ? 2 : 1;
    if (i >= subcommand_args_.size()) throw ComposeError("exec: a service is required");
    const std::string service = subcommand_args_[i];
    if (!config_["services"].contains(service)) throw ComposeError("no such service: " + service);
    const Json stacks = load_stacks();
    if (!stacks.contains(project_) || !stacks[project_]["services"].contains(service))
      throw ComposeError("service \"" + service + "\" is not running");
  }
}

void ComposeRun::finish(int exit_code) {
  if (subcommand_ != "down" || exit_code != 0) return;
  Json stacks = load_stacks();
  stacks.erase(project_);
  store_stacks(stacks);
}

std::string ComposeRun::output() const {
  if (subcommand_ == "version") return "Docker Compose version v2.20.2\n";
  if (subcommand_ == "config") return config_.dump(2) + "\n";
  return {};
}

Json ComposeRun::load_stacks() const {
  std::ifstream in(folder_ / "compose-stacks.json");
  if (!in) return Json::object();
  Json stacks = Json::parse(in, nullptr, false);
  return stacks.is_object() ? stacks : Json::object();
}

void ComposeRun::store_stacks(const Json& stacks) const {
  // Whole or not at all: the caller may kill this program at any moment.
  const fs::path temp = folder_ / ("compose-stacks.json." + std::to_string(::getpid()));
  std::ofstream(temp) << stacks.dump(2);
  fs::rename(temp, folder_ / "compose-stacks.json");
}

}  // namespace tarvo::fakes
