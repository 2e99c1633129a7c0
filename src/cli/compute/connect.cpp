// `tarvo compute connect`: checks the machine, registers it with the platform as a
// cluster, starts the compute stack and records the node. A failure once the
// platform knows the cluster rolls everything back.
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>

#include "api/client.hpp"
#include "cli/compute/compute.hpp"
#include "cli/compute/connect.hpp"
#include "cli/exit.hpp"
#include "cli/organization.hpp"
#include "cli/settings.hpp"
#include "compute/state.hpp"
#include "core/interrupt.hpp"
#include "term/status.hpp"

namespace tarvo::cli::compute {
namespace {

// The login name as the usual lookup finds it: the session's variables first, then
// the password database.
std::string login_name() {
  for (const char* variable : {"LOGNAME", "USER", "LNAME", "USERNAME"})
    if (const char* value = std::getenv(variable); value && *value) return value;
  if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name && *entry->pw_name)
    return entry->pw_name;
  throw std::runtime_error("cannot determine the login name of the current user");
}

// ISO 8601 in UTC with microseconds, the fraction left out when it is zero.
std::string utc_timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string stamp = text;
  if (micros != 0) {
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
    stamp += fraction;
  }
  return stamp + "+00:00";
}

// Deregisters the cluster and, once its start was attempted, stops the stack: a
// start that failed or was cut short may have created containers. The caller
// raises the original failure afterwards. An interrupt cuts none of it short.
void roll_back(const core::Settings& settings, const std::string& cluster_id, bool stack_attempted,
               const Timeouts& timeouts) {
  console().print(
      "[yellow]Error during setup — deregistering cluster and shutting down compute "
      "stack[/yellow]");
  using Outcome = Deregistration::Outcome;
  Deregistration result{Outcome::accepted, 0, {}};
  try {
    result = _send_deregistration(settings, cluster_id, timeouts.platform_seconds);
  } catch (const std::exception& error) {
    result = {Outcome::failed, 0, error.what()};
  }
  if (result.outcome == Outcome::refused) {
    console().print("[yellow]Deregistration failed (" + std::to_string(result.status) +
                    "): " + term::escape(result.text) + "[/yellow]");
  } else if (result.outcome == Outcome::timed_out) {
    // A time-out carries no text of its own here.
    console().print("[yellow]Could not reach TARVO platform to deregister: [/yellow]");
  } else if (result.outcome == Outcome::failed) {
    console().print("[yellow]Could not reach TARVO platform to deregister: " +
                    term::escape(result.text) + "[/yellow]");
  }
  if (stack_attempted) {
    try {
      _stop_stack(/*interruptible=*/false);
    } catch (const std::exception&) {
      // The outcome of the stop is ignored, a docker that cannot run included.
    }
  }
}

// The node record that connect saves.
tarvo::compute::state::Record new_record(const std::string& cluster_id,
                                         const std::string& organization_id) {
  tarvo::compute::state::Record record = tarvo::compute::state::Record::object();
  record["cluster_id"] = cluster_id;
  record["organization_id"] = organization_id;
  record["project_id"] = nullptr;
  record["started_at"] = utc_timestamp();
  auto ports = tarvo::compute::state::Record::object();
  for (const auto& [port, label] : REQUIRED_PORTS)
    ports[label] = port;
  record["ports"] = ports;
  return record;
}

}  // namespace

void _connect_async(const std::optional<std::string>& name_arg, const Timeouts& timeouts) {
  const auto settings = cli::load_settings();

  // Only a stored, non-empty record counts as an earlier node.
  if (const auto existing = tarvo::compute::state::load(); existing && !existing->empty()) {
    if (_is_port_in_use(8000)) {
      console().print("[red]Already connected — compute node is already running[/red]");
      throw Exit{1};
    }
    // Its cluster is still registered, and the record is the only way to remove it:
    // replacing the record would leave that cluster behind for good.
    if (const auto old_id = existing->value("cluster_id", Json()); truthy(old_id)) {
      console().print("[red]Previous state exists for cluster " + term::escape(text_form(old_id)) +
                      " but no compute service is running. Run `tarvo compute disconnect` to "
                      "deregister it and clear the state, then connect again.[/red]");
      throw Exit{1};
    }
    console().print(
        "[yellow]Previous state exists but no compute service is running. Continuing.[/yellow]");
  }

  if (!_check_docker_daemon()) {
    console().print("[red]Docker daemon is not running. Please start Docker and try again.[/red]");
    throw Exit{1};
  }
  _check_compose_available();
  _check_port_conflicts();

  api::APINoCode api(settings.URL_API + "/v1", settings);
  const auto organization = cli_select(api.organizations);
  if (!organization) throw Exit{1};
  const auto uuid = organization->find("uuid");
  if (uuid == organization->end() || uuid->is_null())
    throw std::runtime_error("Organization ID not found");
  const std::string organization_id = text_form(*uuid);

  const std::string cluster_name =
      name_arg && !name_arg->empty() ? *name_arg : login_name() + "-local";

  Registration registration;
  {
    auto status = console().status("Registering with TARVO platform...");
    registration = _register_cluster(settings, cluster_name, {}, timeouts.platform_seconds);
  }
  // An interrupt that arrived while the request was out: the reply has been waited
  // for, so a cluster the platform created is known and can be removed.
  if (core::interrupt::requested()) {
    if (registration.cluster_id) {
      core::interrupt::clear();
      roll_back(settings, *registration.cluster_id, false, timeouts);
    }
    throw core::Interrupted{};
  }
  if (registration.error) {
    console().print("[red]" + term::escape(*registration.error) + "[/red]");
    throw Exit{1};
  }
  const std::string cluster_id = *registration.cluster_id;

  bool stack_attempted = false;
  try {
    const auto environment = _stack_environment(cluster_id, settings);
    stack_attempted = true;
    _start_stack(environment);
    _flush_stale_session_cache();
    tarvo::compute::state::save(new_record(cluster_id, organization_id));
  } catch (...) {
    // The interrupt must not also cut the rollback short: clear it, roll back, then
    // let the original failure end the command.
    const auto failure = std::current_exception();
    core::interrupt::clear();
    roll_back(settings, cluster_id, stack_attempted, timeouts);
    std::rethrow_exception(failure);
  }

  console().print("[green]Compute node connected and running in the background.[/green]");
  console().print("  Compute service:  port [bold]8000[/bold]");
  console().print("  SeaweedFS filer:  port [bold]8888[/bold]");
  console().print("");
  console().print(
      "[yellow]No project linked yet — run `tarvo compute project` before submitting a job with "
      "locally-specified components.[/yellow]");
  console().print("Run [bold]tarvo compute disconnect[/bold] to stop the node and deregister it.");
}

void connect(const ConnectOptions& options) {
  _connect_async(options.name);
}

}  // namespace tarvo::cli::compute
