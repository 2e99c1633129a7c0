#pragma once
// `docker compose` as the stand-in docker plays it: the global options, the project
// loaded (file found, YAML read, every value interpolated) before anything else, so
// that a file Compose would refuse fails here too, and a record of the stacks that
// are up in <folder>/compose-stacks.json ({project: {"file", "services": {name:
// {"environment"}}}}), so that tests can see what a command left running.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "compose_file.hpp"

namespace tarvo::fakes {

// Debian's docker 20.10 without the Compose plugin: what it prints and its exit code.
struct Refusal {
  std::string err;
  int exit_code;
};
Refusal docker_without_compose(const std::vector<std::string>& compose_args);

class ComposeRun {
 public:
  // `args` follow "compose". ComposeError when Compose would refuse the options or
  // the project.
  ComposeRun(std::filesystem::path folder, const std::vector<std::string>& args,
             const Variables& environment);

  const std::string& subcommand() const { return subcommand_; }
  // Warnings Compose prints while loading (unset variables).
  const std::string& warnings() const { return warnings_; }

  // What happens before the answer: `up` creates the containers (unless the scripted
  // answer says running: false); `exec` needs its service up. ComposeError on refusal.
  void begin(const Json* scripted);
  // What a finished run leaves: a successful `down` removes the stack.
  void finish(int exit_code);
  // The output of an unscripted run.
  std::string output() const;

 private:
  Json load_stacks() const;
  void store_stacks(const Json& stacks) const;
  Json service_environment(const Json& service) const;

  std::filesystem::path folder_;
  std::string subcommand_;
  std::vector<std::string> subcommand_args_;
  std::filesystem::path file_;
  std::string project_;
  Variables variables_;
  Json config_;
  std::string warnings_;
};

}  // namespace tarvo::fakes
