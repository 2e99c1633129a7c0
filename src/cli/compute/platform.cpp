// The platform's cluster endpoints, used directly by connect and disconnect.
#include "api/client.hpp"
#include "cli/compute/compute.hpp"
#include "core/http.hpp"

namespace tarvo::cli::compute {
namespace {

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
    const auto response =
        client.post_json(settings.URL_API + "/v1/clusters/local", body, timeout_seconds);
    if (response.status != 200 && response.status != 201) {
      registration.error =
          "Registration failed (" + std::to_string(response.status) + "): " + response.body;
      return registration;
    }
    registration.cluster_id = cluster_id_of(response.json());
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
    const auto response = client.del(
        settings.URL_API + "/v1/clusters/" + api::path_segment(cluster_id), timeout_seconds);
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
