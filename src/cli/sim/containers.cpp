// Containers that info and mappings start for themselves: waiting until the
// simulator answers, and stopping them on every way out.
#include <chrono>
#include <string>

#include "cli/sim/containers.hpp"
#include "cli/sim/logger_name.hpp"
#include "core/interrupt.hpp"
#include "core/logger.hpp"
#include "sim/network.hpp"

namespace tarvo::cli::sim {
namespace {

// A simulator image may need a moment to load its model before it serves.
constexpr auto kServingDeadline = std::chrono::seconds(60);
constexpr auto kPollInterval = std::chrono::milliseconds(200);

tarvo::docker::Error stopped_early(const std::string& name, const std::string& address) {
  return tarvo::docker::Error("the simulator container '" + name + "' stopped before it served" +
                              (address.empty() ? "" : " at " + address));
}

}  // namespace

ContainerGuard::~ContainerGuard() {
  if (stopped_) return;
  // Leaving early: an error or Ctrl-C is already on its way out, and the container
  // must not outlive the command. A pending Ctrl-C would abort the stop request.
  core::interrupt::clear();
  try {
    tarvo::docker::stop(engine_, name_);
  } catch (const std::exception& error) {
    core::get_logger(kLoggerName).info("could not stop container '" + name_ + "': " + error.what());
  } catch (...) {
    // A second Ctrl-C while stopping: give up on the container, not on the exit.
  }
}

void ContainerGuard::stop() {
  stopped_ = true;
  tarvo::docker::stop(engine_, name_);
}

void wait_until_serving(tarvo::docker::Engine& engine, const std::string& name,
                        const std::string& address) {
  const auto deadline = std::chrono::steady_clock::now() + kServingDeadline;
  while (!core::is_channel_available(address)) {
    const auto record = tarvo::docker::get_info_container(engine, name);
    if (tarvo::docker::text_at(record, {"state"}) != "running") throw stopped_early(name, address);
    if (std::chrono::steady_clock::now() >= deadline)
      throw tarvo::docker::Error("the simulator in container '" + name + "' did not serve at " +
                                 address + " within a minute");
    core::interrupt::sleep_for(kPollInterval);
  }
}

std::string serving_address(tarvo::docker::Engine& engine, const std::string& name,
                            const nlohmann::ordered_json& record) {
  const auto& moniker = tarvo::docker::json_at(record, {"moniker"});
  if (!moniker.is_string()) {
    if (tarvo::docker::text_at(record, {"state"}) != "running") throw stopped_early(name, "");
    throw tarvo::docker::Error("the simulator container '" + name +
                               "' publishes no simulator port");
  }
  wait_until_serving(engine, name, moniker.get<std::string>());
  return moniker.get<std::string>();
}

}  // namespace tarvo::cli::sim
