// `tarvo compute disconnect`: ends the active jobs, stops the stack, deregisters the
// cluster and forgets the node, in that order.
#include "cli/compute/disconnect.hpp"
#include "cli/compute/compute.hpp"
#include "cli/exit.hpp"
#include "cli/settings.hpp"
#include "compute/state.hpp"
#include "core/http.hpp"
#include "term/status.hpp"

namespace tarvo::cli::compute {

void _shutdown_jobs(const Timeouts& timeouts) {
  // Only the connection is bounded: the service answers once every job's
  // containers have stopped, which may take minutes.
  try {
    core::http::Client client(core::http::ClientOptions{{}, std::nullopt});
    core::http::Request request;
    request.method = "POST";
    request.url = std::string(COMPUTE_API_URL) + "/jobs/shutdown";
    request.connect_timeout_seconds = timeouts.shutdown_connect_seconds;
    const auto response = client.send(request);
    if (response.status == 200) return;
    console().print("[yellow]Failed to shut down active jobs cleanly (" +
                    std::to_string(response.status) + "): " + term::escape(response.body) +
                    "[/yellow]");
  } catch (const core::http::Error&) {
    // Not running or not reachable: there are no jobs to end.
  }
}

void _disconnect_async(const Timeouts& timeouts) {
  const auto settings = cli::load_settings();
  const auto node = tarvo::compute::state::load();
  // A record without a cluster id names no node: there is nothing to deregister,
  // and a request for cluster "None" would only pretend to.
  if (!node || !truthy(node->value("cluster_id", Json()))) {
    console().print("[red]No compute node is connected. Nothing to disconnect.[/red]");
    throw Exit{1};
  }
  const std::string cluster_id = text_form(node->value("cluster_id", Json()));

  {
    auto status = console().status("Shutting down active jobs...");
    _shutdown_jobs(timeouts);
  }

  core::process::Result result;
  {
    auto status = console().status("Stopping compute stack...");
    result = _stop_stack();
  }
  if (result.exit_code != 0) {
    console().print("[red]Failed to stop compute stack:\n" + term::escape(result.err) + "[/red]");
    // Without the plugin Compose's own text ("unknown shorthand flag") says nothing
    // about the fix.
    if (!_compose_plugin_available()) _print_compose_missing();
    throw Exit{1};
  }

  bool deregistered = false;
  std::optional<std::string> deregister_error;
  {
    auto status = console().status("Deregistering from TARVO platform...");
    const auto outcome = _send_deregistration(settings, cluster_id, timeouts.platform_seconds);
    switch (outcome.outcome) {
      case Deregistration::Outcome::accepted:
        deregistered = true;
        break;
      case Deregistration::Outcome::refused:
        deregister_error =
            "Deregistration failed (" + std::to_string(outcome.status) + "): " + outcome.text;
        break;
      case Deregistration::Outcome::timed_out:
        deregister_error = "Could not reach TARVO platform to deregister: timed out";
        break;
      case Deregistration::Outcome::failed:
        deregister_error = "Could not reach TARVO platform to deregister: " + outcome.text;
        break;
    }
  }
  if (deregister_error) console().print("[yellow]" + term::escape(*deregister_error) + "[/yellow]");

  tarvo::compute::state::delete_();
  if (deregistered) {
    console().print("[green]Compute node stopped and deregistered.[/green]");
  } else {
    console().print(
        "[yellow]Compute node stopped. Platform deregistration failed — the cluster may still "
        "appear online.[/yellow]");
  }
}

void disconnect(const DisconnectOptions&) {
  _disconnect_async();
}

}  // namespace tarvo::cli::compute
