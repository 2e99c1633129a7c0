// `logs`: a container's output, written through as the simulator wrote it.
#include "cli/sim/logs.hpp"

#include <unistd.h>

#include <cstdio>

#include "cli/sim/containers.hpp"
#include "core/files.hpp"

namespace tarvo::cli::sim {

void logs(const LogsOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  _show_logs(engine, options.sim_id, options.stream);
}

void _show_logs(docker::Engine& engine, const std::string& name, bool stream) {
  std::fflush(stdout);
  std::fflush(stderr);
  docker::sim_logs(engine, name, stream, [](docker::LogChannel channel, std::string_view bytes) {
    return core::files::write_all(
        channel == docker::LogChannel::out ? STDOUT_FILENO : STDERR_FILENO, bytes);
  });
}

}  // namespace tarvo::cli::sim
