// The platform's cluster endpoints, used directly by connect and disconnect.
#include "api/client.hpp"
#include "cli/compute/compute.hpp"
#include "core/http.hpp"
#include "core/interrupt.hpp"
#include "core/json_limits.hpp"

namespace tarvo::cli::compute {
namespace {

// A cluster reply is a small object; a refusal's page is shown, so keep it short.
constexpr std::size_t kMaxReplyBytes = 64 << 10;

core::http::Client platform_client(const core::Settings& settings) {
  core::http::Client client(core::http::ClientOptions{api::get_ssl_connector(), std::nullopt});
  if (settings.api_key && !settings.api_key->empty())
    client.set_default_header("Authorization", "Bearer " + *settings.api_key);
  return client;
}

// The cluster id of a registration reply: a non-empty text or an integer. Anything
// else (absent, null, empty, a list...) would make an unusable id.
std::optional<std::string> cluster_id_of(const Json& reply) {
  if (!reply.is_object()) return std::nullopt;
  const auto id = reply.find("id");
  if (id == reply.end()) return std::nullopt;
  if (id->is_string() && !id->get<std::string>().empty()) return id->get<std::string>();
  if (id->is_number_integer()) return id->dump();
  return std::nullopt;
}

}  // namespace

bool truthy(const Json& value) {
  if (value.is_null()) return false;
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_string()) return !value.get<std::string>().empty();
  if (value.is_number()) return value != 0;
  return !value.empty();
}

std::string text_form(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  return value.dump();
}

Registration _register_cluster(const core::Settings& settings, const std::string& name,
                               const HardwareSources& sources, double timeout_seconds) {
  Registration registration;
  try {
    auto client = platform_client(settings);
    Json body = Json::object();
    body["name"] = name;
    body["info"] = _get_hardware_info(sources);
    core::http::Request request;
    request.method = "POST";
    request.url = settings.URL_API + "/v1/clusters/local";
    request.timeout_seconds = timeout_seconds;
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    request.body = body.dump();
    request.max_body_bytes = kMaxReplyBytes;
    // Once sent, the platform may create the cluster whatever happens here: wait
    // for the reply (within the time-out) so that an interrupt can deregister it.
    request.interruptible = false;
    core::interrupt::check();
    const auto response = client.send(request);
    if (response.status != 200 && response.status != 201) {
      registration.error =
          "Registration failed (" + std::to_string(response.status) + "): " + response.body;
      return registration;
    }
    if (!api::is_json_content_type(response.content_type)) {
      registration.error =
          "Could not reach TARVO platform: the reply is not JSON (content type \"" +
          response.content_type + "\")";
      return registration;
    }
    Json reply;
    try {
      reply = core::parse_outside_json(response.body);
    } catch (const core::JsonError& error) {
      registration.error =
          std::string("Could not understand the TARVO platform's reply: ") + error.what();
      return registration;
    }
    registration.cluster_id = cluster_id_of(reply);
    if (!registration.cluster_id) registration.error = "Response is missing cluster id";
  } catch (const core::http::TimeoutError&) {
    registration.error = "Could not reach TARVO platform: request timed out";
  } catch (const core::http::ClientError& error) {
    const std::string text = error.what();
    registration.error =
        "Could not reach TARVO platform: " + (text.empty() ? "request timed out" : text);
  }
  return registration;
}

Deregistration _send_deregistration(const core::Settings& settings, const std::string& cluster_id,
                                    double timeout_seconds) {
  using Outcome = Deregistration::Outcome;
  try {
    auto client = platform_client(settings);
    core::http::Request request;
    request.method = "DELETE";
    request.url = settings.URL_API + "/v1/clusters/" + api::path_segment(cluster_id);
    request.timeout_seconds = timeout_seconds;
    request.headers = {{"Accept", "application/json"}};
    request.max_body_bytes = kMaxReplyBytes;
    // Clean-up that must not be cut short: bounded by its time-out alone.
    request.interruptible = false;
    const auto response = client.send(request);
    if (response.status == 200 || response.status == 204)
      return {Outcome::accepted, response.status, {}};
    return {Outcome::refused, response.status, response.body};
  } catch (const core::http::TimeoutError& error) {
    return {Outcome::timed_out, 0, error.what()};
  } catch (const core::http::Error& error) {
    return {Outcome::failed, 0, error.what()};
  }
}

}  // namespace tarvo::cli::compute
