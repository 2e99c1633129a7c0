#include "platform_emulator/platform.hpp"

#include <stdexcept>
#include <thread>

#include "core/json_limits.hpp"

namespace tarvo::emulator {
namespace {

void reply_json(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void reply_error(httplib::Response& response, int status, const std::string& detail) {
  reply_json(response, status, Json{{"detail", detail}});
}

}  // namespace

Json default_seed() {
  return Json::parse(R"({
    "organizations": [
      {"uuid": "7c0e4a52-1f3b-4d8e-9a61-2b5f0c3d9e10", "name": "Demo Robotics",
       "projects": [
         {"id": "3f9a2c1e-5b7d-4e8f-a0b1-c2d3e4f5a6b7", "name": "Warehouse picking"},
         {"id": "8e1d0c2b-4a69-4f37-b5e2-d1c0b9a8f7e6", "name": "Line following"}
       ]}
    ]
  })");
}

void Platform::seed(const Json& seed) {
  if (!seed.is_object()) throw std::invalid_argument("the seed is not a JSON object");
  const auto organizations = seed.value("organizations", Json::array());
  if (!organizations.is_array()) throw std::invalid_argument("\"organizations\" is not a list");
  for (const auto& organization : organizations) {
    if (!organization.is_object() || !organization.contains("name"))
      throw std::invalid_argument("an organisation is not an object with a \"name\"");
    const auto projects = organization.value("projects", Json::array());
    if (!projects.is_array()) throw std::invalid_argument("\"projects\" is not a list");
    for (const auto& project : projects)
      if (!project.is_object() || !project.contains("id") || !project.contains("name"))
        throw std::invalid_argument("a project is not an object with \"id\" and \"name\"");
  }
  std::lock_guard lock(mutex_);
  organizations_ = organizations;
  clusters_ = Json::array();
}

Json Platform::organizations() const {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (auto organization : organizations_) {
    organization.erase("projects");
    list.push_back(organization);
  }
  return list;
}

Json Platform::projects(const std::string& organization) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : organizations_) {
    const auto uuid = entry.value("uuid", Json());
    if (uuid.is_string() ? uuid.get<std::string>() == organization : uuid.dump() == organization)
      return entry.value("projects", Json::array());
  }
  return nullptr;
}

Json Platform::clusters() const {
  std::lock_guard lock(mutex_);
  return clusters_;
}

Json Platform::register_cluster(const Json& request) {
  std::lock_guard lock(mutex_);
  Json cluster = {{"id", "cluster-" + std::to_string(next_cluster_++)},
                  {"name", request["name"]},
                  {"info", request.value("info", Json::object())},
                  {"status", "online"}};
  clusters_.push_back(cluster);
  return cluster;
}

bool Platform::deregister_cluster(const std::string& id) {
  std::lock_guard lock(mutex_);
  for (auto it = clusters_.begin(); it != clusters_.end(); ++it) {
    if ((*it)["id"] == id) {
      clusters_.erase(it);
      return true;
    }
  }
  return false;
}

void mount(httplib::Server& server, Platform& platform, const std::string& token) {
  server.set_pre_routing_handler(
      [token](const httplib::Request& request, httplib::Response& response) {
        if (token.empty() || request.get_header_value("Authorization") == "Bearer " + token)
          return httplib::Server::HandlerResponse::Unhandled;
        reply_error(response, 401, "missing or wrong bearer token");
        return httplib::Server::HandlerResponse::Handled;
      });
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::fprintf(stderr, "%s %s -> %d\n", request.method.c_str(), request.path.c_str(),
                 response.status);
  });

  server.Get("/v1/organizations",
             [&platform](const httplib::Request&, httplib::Response& response) {
               reply_json(response, 200, platform.organizations());
             });
  server.Get(R"(/v1/organizations/([^/]+)/projects)",
             [&platform](const httplib::Request& request, httplib::Response& response) {
               const auto projects = platform.projects(request.matches[1]);
               if (projects.is_null()) return reply_error(response, 404, "organization not found");
               reply_json(response, 200, projects);
             });
  server.Get("/v1/clusters", [&platform](const httplib::Request&, httplib::Response& response) {
    reply_json(response, 200, platform.clusters());
  });
  server.Post("/v1/clusters/local",
              [&platform](const httplib::Request& request, httplib::Response& response) {
                Json body;
                try {
                  body = tarvo::core::parse_outside_json(request.body);
                } catch (const tarvo::core::JsonError& error) {
                  return reply_error(response, 400, error.what());
                }
                if (!body.is_object() || !body.contains("name") || !body["name"].is_string() ||
                    (body.contains("info") && !body["info"].is_object()))
                  return reply_error(response, 422,
                                     "expected a JSON object with a text \"name\" and an \"info\"");
                const auto cluster = platform.register_cluster(body);
                std::this_thread::sleep_for(platform.registration_delay);
                reply_json(response, 201, cluster);
              });
  server.Delete(R"(/v1/clusters/([^/]+))",
                [&platform](const httplib::Request& request, httplib::Response& response) {
                  if (!platform.deregister_cluster(request.matches[1]))
                    return reply_error(response, 404, "cluster not found");
                  response.status = 204;
                });
}

}  // namespace tarvo::emulator
