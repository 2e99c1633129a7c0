#pragma once
// The emulated platform: its state and the HTTP routes over it.
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::emulator {

using Json = nlohmann::ordered_json;

// One organisation with two projects.
Json default_seed();

class Platform {
 public:
  // Replaces the state with `seed`; throws std::invalid_argument when it is malformed.
  void seed(const Json& seed);

  Json organizations() const;
  // Nothing (null) when the organisation is unknown.
  Json projects(const std::string& organization) const;
  Json clusters() const;
  // The new cluster's record, with its "id".
  Json register_cluster(const Json& request);
  bool deregister_cluster(const std::string& id);

  // How long a registration's reply is held after the cluster was created: the
  // window in which a client may be interrupted with its request in flight.
  std::chrono::duration<double> registration_delay{0};

 private:
  mutable std::mutex mutex_;
  Json organizations_ = Json::array();
  Json clusters_ = Json::array();
  long next_cluster_ = 1;
};

// Routes under /v1: organisations, their projects and the clusters.
void mount(httplib::Server& server, Platform& platform, const std::string& token);

}  // namespace tarvo::emulator
