#pragma once
// Child processes: an explicit argument list (never a shell), a chosen environment,
// each output stream inherited, captured or discarded. Waiting is interruptible: on
// Ctrl-C the child is terminated and reaped, then core::Interrupted is thrown.
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo::core::process {

enum class Stream { inherit, capture, discard };

using Environment = std::map<std::string, std::string>;

struct Options {
  // The complete environment of the child; nothing means the parent's own.
  std::optional<Environment> environment;
  Stream out = Stream::inherit;
  Stream err = Stream::inherit;
  // Text fed to standard input; nothing means the parent's standard input.
  std::optional<std::string> input;
  // False: an interrupt does not stop the child; the run waits for its end. For
  // clean-up that must finish once begun (a terminal's Ctrl-C still reaches the
  // child itself, through its process group).
  bool interruptible = true;
};

struct Result {
  int exit_code = 0;  // the exit status, or 128 + the signal that ended the child
  std::string out;    // captured standard output (empty unless captured)
  std::string err;    // captured standard error (empty unless captured)
};

// The program could not be started at all (missing, not executable).
class LaunchError : public std::runtime_error {
 public:
  LaunchError(std::string program, std::string reason);
  const std::string& program() const { return program_; }

 private:
  std::string program_;
};

// Runs argv[0] (looked up on PATH when it has no slash) to completion.
Result run(const std::vector<std::string>& argv, const Options& options = {});

// The current process's environment as a map.
Environment current_environment();

// Looks `program` up on PATH; nothing when it is not there.
std::optional<std::string> find_program(const std::string& program);

}  // namespace tarvo::core::process
