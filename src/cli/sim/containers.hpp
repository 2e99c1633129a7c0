#pragma once
// The simulator group's container commands: start, logs, stop, status, info and
// mappings, with the helpers they share.
#include <optional>
#include <string>

#include "cli/body.hpp"
#include "cli/sim/logger_name.hpp"
#include "docker/containers.hpp"

namespace tarvo::cli::sim {

void start(const Args& args);
void logs(const Args& args);
void stop(const Args& args);
void status(const Args& args);
void status_all();
void info(const Args& args);
void mappings(const Args& args);

// The space mapping of the simulator at `address`, or of a container started from
// `image`; nothing when that container cannot be started.
std::optional<nlohmann::ordered_json> _mappings(const std::optional<std::string>& image,
                                                const std::optional<std::string>& address);

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

// Waits until the simulator in container `name` answers at `address`; an error when
// the container ends first or it does not answer within a minute.
void wait_until_serving(tarvo::docker::Engine& engine, const std::string& name,
                        const std::string& address);

// The address of the simulator container `name` from its info `record` (its
// "moniker"), once the simulator answers there.
std::string serving_address(tarvo::docker::Engine& engine, const std::string& name,
                            const nlohmann::ordered_json& record);

}  // namespace tarvo::cli::sim
