// A stand-in for an outside program (docker, nvidia-smi, sysctl) in tests. Copied
// into a folder on PATH under the program's name, it
//   - appends {"program", "argv", "env"} as one JSON line to <folder>/calls.jsonl;
//   - answers from <folder>/<name>.json: {"rules": [{"when": [words], "results": [..]}]}.
// The first rule whose words all appear among the arguments applies; its n-th use
// takes results[n] (the last one once they run out). A result holds "exit",
// "stdout", "stderr", and optionally "signal_parent" ("INT", "TERM" or "HUP": sent to
// the caller, as Ctrl-C, kill or a closed terminal would; "interrupt_parent": true
// is "INT"), "sleep" (seconds, before exiting) and "create_file" (a path to create
// as an empty file, to get in the caller's way). Without a matching rule the
// program exits 0 and prints nothing.
//
// As docker, `docker compose ...` is played as Compose plays it (see compose.hpp):
// the project is loaded and interpolated first, and a refusal there ends the run
// the way Compose ends it, before any rule applies. "compose_plugin": false in
// docker.json plays a docker without the Compose plugin.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "compose.hpp"

extern char** environ;

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

Json read_json(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return Json::object();
  return Json::parse(in);
}

int next_use(const fs::path& counter) {
  int uses = 0;
  if (std::ifstream in(counter); in) in >> uses;
  std::ofstream(counter) << uses + 1;
  return uses;
}

int signal_number(const std::string& name) {
  if (name == "TERM") return SIGTERM;
  if (name == "HUP") return SIGHUP;
  return SIGINT;
}

// The scripted answer for `args`, if a rule matches (and counts its use).
std::optional<Json> scripted_result(const Json& rules, const std::vector<std::string>& args,
                                    const fs::path& folder, const std::string& name) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const auto& rule = rules[i];
    const auto words = rule.value("when", Json::array());
    const bool matches = std::all_of(words.begin(), words.end(), [&](const Json& word) {
      return std::find(args.begin(), args.end(), word.get<std::string>()) != args.end();
    });
    if (!matches) continue;
    const auto results = rule.value("results", Json::array());
    if (results.empty()) return Json::object();
    const int use = next_use(folder / (name + "." + std::to_string(i) + ".uses"));
    return results[std::min<std::size_t>(use, results.size() - 1)];
  }
  return std::nullopt;
}

tarvo::fakes::Variables environment_variables() {
  tarvo::fakes::Variables variables;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  return variables;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path folder = self.parent_path();
  const std::string name = self.filename().string();
  std::vector<std::string> args(argv + 1, argv + argc);

  Json call = {{"program", name}, {"argv", Json::array()}, {"env", Json::object()}};
  call["argv"].push_back(name);
  for (const auto& arg : args)
    call["argv"].push_back(arg);
  for (const auto& [variable, value] : environment_variables())
    call["env"][variable] = value;
  std::ofstream(folder / "calls.jsonl", std::ios::app) << call.dump() << "\n";

  const Json config = read_json(folder / (name + ".json"));
  std::optional<tarvo::fakes::ComposeRun> compose;
  if (name == "docker" && !args.empty() && args[0] == "compose") {
    const std::vector<std::string> compose_args(args.begin() + 1, args.end());
    if (!config.value("compose_plugin", true)) {
      const auto refusal = tarvo::fakes::docker_without_compose(compose_args);
      std::cerr << refusal.err;
      return refusal.exit_code;
    }
    try {
      compose.emplace(folder, compose_args, environment_variables());
    } catch (const tarvo::fakes::ComposeError& error) {
      std::cerr << error.what() << "\n";
      return 1;
    }
    std::cerr << compose->warnings();
  }

  const auto result = scripted_result(config.value("rules", Json::array()), args, folder, name);
  if (compose) {
    try {
      compose->begin(result ? &*result : nullptr);
    } catch (const tarvo::fakes::ComposeError& error) {
      std::cerr << error.what() << "\n";
      return 1;
    }
  }
  if (!result) {
    if (compose) {
      std::cout << compose->output();
      compose->finish(0);
    }
    return 0;
  }
  std::cout << result->value("stdout", "") << std::flush;
  std::cerr << result->value("stderr", "") << std::flush;
  if (result->contains("create_file")) std::ofstream((*result)["create_file"].get<std::string>());
  if (result->value("interrupt_parent", false)) kill(getppid(), SIGINT);
  if (result->contains("signal_parent"))
    kill(getppid(), signal_number((*result)["signal_parent"].get<std::string>()));
  if (const double sleep = result->value("sleep", 0.0); sleep > 0)
    std::this_thread::sleep_for(std::chrono::duration<double>(sleep));
  const int exit_code = result->value("exit", 0);
  if (compose) compose->finish(exit_code);
  return exit_code;
}
