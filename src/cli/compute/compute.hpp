#pragma once
// The `compute` group's bodies and the routines they share: stack control through
// the docker program, the hardware probe, and the platform's cluster endpoints.
// Declared here so that the body table and the tests can reach them.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/process.hpp"
#include "core/settings.hpp"
#include "term/console.hpp"

namespace tarvo::cli::compute {

using Json = nlohmann::ordered_json;

// Local ports of the compute stack, in the order they are checked and reported.
inline const std::vector<std::pair<int, std::string>> REQUIRED_PORTS = {
    {8000, "compute service"},
    {8888, "SeaweedFS filer"},
};
inline constexpr const char* COMPUTE_API_URL = "http://localhost:8000";
inline constexpr const char* _MEMINFO_PATH = "/proc/meminfo";

// The stack's Compose file, installed as a data file beside the executable.
std::filesystem::path COMPOSE_FILE();

// The group's console: every line the group prints goes through it.
const term::Console& console();

// Time limits of the network exchanges. The bodies use the defaults; tests pass
// shorter ones so that a silent peer costs them a fraction of a second.
struct Timeouts {
  double platform_seconds = 15.0;          // registration and deregistration, whole exchange
  double shutdown_connect_seconds = 10.0;  // connecting to the compute service
};

// --- Stack control -------------------------------------------------------------

bool _check_docker_daemon();
bool _compose_plugin_available();
void _print_compose_missing();
// Prints what to install and throws Exit{1} when `docker compose` or the Compose
// file is missing, so that nothing is registered for a stack that cannot start.
void _check_compose_available();
bool _is_port_in_use(int port);
// Prints the conflict report and throws Exit{1} when a required port is taken.
void _check_port_conflicts();
core::process::Environment _stack_environment(const std::string& cluster_id,
                                              const core::Settings& settings);
// Prints the failure and throws Exit{1} when Compose cannot start the stack.
void _start_stack(const core::process::Environment& environment);
void _flush_stale_session_cache(int retries = 10, double delay_seconds = 1.0);
// `interruptible` false: a rollback's stop, which an interrupt must not cut short.
core::process::Result _stop_stack(bool interruptible = true);

// --- Hardware probe ------------------------------------------------------------

// Where the probe looks. The defaults are the machine's own; tests point them at
// prepared files and names. Programs (sysctl, nvidia-smi) come from PATH.
struct HardwareSources {
  std::filesystem::path meminfo = _MEMINFO_PATH;
  std::function<std::string()> system_name;   // empty: uname's sysname
  std::function<unsigned()> processor_count;  // empty: the machine's logical processors
};

std::string _get_memory_gib(const HardwareSources& sources = {});
std::optional<std::string> _get_gpu_name();
Json _get_hardware_info(const HardwareSources& sources = {});

// --- Platform ------------------------------------------------------------------

// The text form a value has when inserted into a message or a URL: strings as
// they are, null as None, numbers in decimal.
std::string text_form(const Json& value);
// Whether a value tests true: not null, false, 0, "" or empty.
bool truthy(const Json& value);

// The outcome of the registration: a cluster id, or the reason it failed. The
// request, once sent, is not cut short by an interrupt: the caller checks for one
// afterwards and deregisters what the platform created.
struct Registration {
  std::optional<std::string> cluster_id;
  std::optional<std::string> error;
};
Registration _register_cluster(const core::Settings& settings, const std::string& name,
                               const HardwareSources& sources, double timeout_seconds);

// The outcome of a deregistration request, for each flow to word as it needs. An
// interrupt does not cut it short; its time-out bounds it.
struct Deregistration {
  enum class Outcome { accepted, refused, timed_out, failed } outcome;
  long status = 0;
  std::string text;  // the refusal's body or the failure's text
};
Deregistration _send_deregistration(const core::Settings& settings, const std::string& cluster_id,
                                    double timeout_seconds);

// --- Bodies --------------------------------------------------------------------

void _connect_async(const std::optional<std::string>& name_arg, const Timeouts& timeouts = {});
void _project_async();
void _shutdown_jobs(const Timeouts& timeouts = {});
void _disconnect_async(const Timeouts& timeouts = {});

}  // namespace tarvo::cli::compute
