#pragma once
// Containers that info and mappings start for themselves: waiting until the
// simulator answers, and stopping them on every way out.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "docker/containers.hpp"

namespace tarvo::cli::sim {

// Stops a container when the command leaves early (an error or Ctrl-C), so that a
// failed query does not leave it running. The normal way out stops it explicitly.
class ContainerGuard {
 public:
  ContainerGuard(tarvo::docker::Engine& engine, std::string name)
      : engine_(engine), name_(std::move(name)) {}
  ~ContainerGuard();
  ContainerGuard(const ContainerGuard&) = delete;
  ContainerGuard& operator=(const ContainerGuard&) = delete;

  // Stops the container now; its errors propagate.
  void stop();

 private:
  tarvo::docker::Engine& engine_;
  std::string name_;
  bool stopped_ = false;
};

// Writes the logs of container `name` to standard output and standard error as they
// were written; with `stream`, follows them until the container stops or Ctrl-C.
void _show_logs(tarvo::docker::Engine& engine, const std::string& name, bool stream);

// Says on standard output what sim_start is doing.
void _say(const std::string& line);

// Waits until the simulator in container `name` answers at `address`; an error when
// the container ends first or it does not answer within a minute.
void wait_until_serving(tarvo::docker::Engine& engine, const std::string& name,
                        const std::string& address);

// The address of the simulator container `name` from its info `record` (its
// "moniker"), once the simulator answers there.
std::string serving_address(tarvo::docker::Engine& engine, const std::string& name,
                            const nlohmann::ordered_json& record);

}  // namespace tarvo::cli::sim
