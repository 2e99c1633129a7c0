// `logs`: a container's output, written through as the simulator wrote it.
#include "cli/sim/logs.hpp"

#include <unistd.h>

#include <cstdio>

#include "cli/sim/containers.hpp"
#include "core/files.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {

void logs(const LogsOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  _show_logs(engine, options.sim_id, options.stream);
}

void _show_logs(docker::Engine& engine, const std::string& name, bool stream) {
  std::fflush(stdout);
  std::fflush(stderr);
  // A pipe or a file gets the bytes as written; a terminal their control characters
  // as visible escapes, since the container's output is outside text.
  const bool out_terminal = isatty(STDOUT_FILENO);
  const bool err_terminal = isatty(STDERR_FILENO);
  docker::sim_logs(engine, name, stream, [&](docker::LogChannel channel, std::string_view bytes) {
    const bool out = channel == docker::LogChannel::out;
    const bool terminal = out ? out_terminal : err_terminal;
    return core::files::write_all(out ? STDOUT_FILENO : STDERR_FILENO,
                                  terminal ? term::visible_controls(bytes) : std::string(bytes));
  });
}

}  // namespace tarvo::cli::sim
