// A stand-in for an outside program (docker, nvidia-smi, sysctl) in tests. Copied
// into a folder on PATH under the program's name, it
//   - appends {"program", "argv", "env"} as one JSON line to <folder>/calls.jsonl;
//   - answers from <folder>/<name>.json: {"rules": [{"when": [words], "results": [..]}]}.
// The first rule whose words all appear among the arguments applies; its n-th use
// takes results[n] (the last one once they run out). A result holds "exit",
// "stdout", "stderr", and optionally "interrupt_parent" (send SIGINT to the caller,
// as Ctrl-C would), "sleep" (seconds, before exiting) and "create_file" (a path to
// create as an empty file, to get in the caller's way). Without a matching rule
// the program exits 0 and prints nothing.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) call["env"][text.substr(0, equals)] = text.substr(equals + 1);
  }
  std::ofstream(folder / "calls.jsonl", std::ios::app) << call.dump() << "\n";

  const Json rules = read_json(folder / (name + ".json")).value("rules", Json::array());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const auto& rule = rules[i];
    const auto words = rule.value("when", Json::array());
    const bool matches = std::all_of(words.begin(), words.end(), [&](const Json& word) {
      return std::find(args.begin(), args.end(), word.get<std::string>()) != args.end();
    });
    if (!matches) continue;
    const auto results = rule.value("results", Json::array());
    if (results.empty()) return 0;
    const int use = next_use(folder / (name + "." + std::to_string(i) + ".uses"));
    const auto& result = results[std::min<std::size_t>(use, results.size() - 1)];
    std::cout << result.value("stdout", "") << std::flush;
    std::cerr << result.value("stderr", "") << std::flush;
    if (result.contains("create_file")) std::ofstream(result["create_file"].get<std::string>());
    if (result.value("interrupt_parent", false)) kill(getppid(), SIGINT);
    if (const double sleep = result.value("sleep", 0.0); sleep > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(sleep));
    return result.value("exit", 0);
  }
  return 0;
}
