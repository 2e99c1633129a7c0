#include "platform_emulator/catalog.hpp"

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace tarvo::emulator {
namespace {

constexpr const char* kRegistry = "registry.tarvo.test";

void reply_json(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void reply_error(httplib::Response& response, int status, const std::string& detail) {
  reply_json(response, status, Json{{"detail", detail}});
}

// A version number as the platform reads it: an integer or integer text; else nothing.
std::optional<long> version_number(const Json& version) {
  const Json number = version.value("version", Json());
  if (number.is_number_integer()) return number.get<long>();
  if (number.is_string()) {
    try {
      std::size_t used = 0;
      const long value = std::stol(number.get<std::string>(), &used);
      if (used == number.get<std::string>().size()) return value;
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

std::string image_name(const std::string& sim_name) {
  std::string out;
  for (const char c : sim_name)
    out += std::isalnum(static_cast<unsigned char>(c))
               ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
               : '-';
  return out;
}

Json* find_sim(Json& sims, const std::string& id) {
  for (auto& sim : sims)
    if (sim.value("id", Json()) == id) return &sim;
  return nullptr;
}

}  // namespace

void Catalog::seed(const Json& seed) {
  const Json sims = seed.is_object() ? seed.value("sims", Json::object()) : Json::object();
  if (!sims.is_object())
    throw std::invalid_argument("\"sims\" is not a map from organisation uuid to entries");
  std::map<std::string, Json> seeded;
  for (const auto& [organization, entries] : sims.items()) {
    if (!entries.is_array())
      throw std::invalid_argument("the sims of " + organization + " are not a list");
    for (const auto& entry : entries)
      if (!entry.is_object())
        throw std::invalid_argument("a sim of " + organization + " is not an object");
    seeded[organization] = entries;
  }
  std::lock_guard lock(mutex_);
  sims_ = std::move(seeded);
  building_.clear();
}

Json Catalog::list(const std::string& organization, const std::optional<std::string>& name) {
  std::lock_guard lock(mutex_);
  finish_builds();
  Json found = Json::array();
  for (const auto& sim : sims_[organization])
    if (!name || sim.value("name", Json()) == *name) found.push_back(sim);
  return found;
}

Json Catalog::get(const std::string& organization, const std::string& id) {
  std::lock_guard lock(mutex_);
  finish_builds();
  const Json* sim = find_sim(sims_[organization], id);
  return sim ? *sim : Json();
}

Json Catalog::create(const std::string& organization, const std::string& name,
                     const std::string& description) {
  std::lock_guard lock(mutex_);
  Json& sims = sims_[organization];
  for (const auto& sim : sims)
    if (sim.value("name", Json()) == name) return Json();
  Json sim = {
      {"id", new_id()}, {"name", name}, {"description", description}, {"versions", Json::array()}};
  sims.push_back(sim);
  return sim;
}

Json Catalog::add_implementation(const std::string& organization, const std::string& id,
                                 const std::string& type, const std::string& archive) {
  std::lock_guard lock(mutex_);
  finish_builds();
  Json* sim = find_sim(sims_[organization], id);
  if (!sim) return Json();
  Json& versions = (*sim)["versions"];
  if (!versions.is_array()) versions = Json::array();
  long number = 0;
  for (const auto& version : versions)
    number = std::max(number, version_number(version).value_or(0));
  ++number;

  if (!options_.uploads.empty()) {
    const auto folder = options_.uploads / id;
    std::filesystem::create_directories(folder);
    std::ofstream(folder / (std::to_string(number) + ".tar.gz"), std::ios::binary) << archive;
  }
  Json version = {{"version", number},
                  {"configuration_status", "BUILDING"},
                  {"type", type},
                  {"size", archive.size()}};
  versions.push_back(version);
  building_[{organization, id, number}] =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(options_.build_time);
  finish_builds();
  return versions.back();
}

void Catalog::finish_builds() {
  const auto now = Clock::now();
  for (auto it = building_.begin(); it != building_.end();) {
    if (it->second > now) {
      ++it;
      continue;
    }
    const auto& [organization, id, number] = it->first;
    if (Json* sim = find_sim(sims_[organization], id)) {
      for (auto& version : (*sim)["versions"]) {
        if (version_number(version) != number) continue;
        version["configuration_status"] = "READY";
        version["data_json"] = {
            {"login_server", kRegistry},
            {"image_name", organization + "/" + image_name(sim->value("name", ""))},
            {"tag", std::to_string(number)},
            {"username", "puller-" + id},
            {"password", "secret-" + id + "-" + std::to_string(number)}};
      }
    }
    it = building_.erase(it);
  }
}

std::string Catalog::new_id() const {
  for (long n = 1;; ++n) {
    const std::string id = "sim-" + std::to_string(n);
    bool taken = false;
    for (const auto& [organization, sims] : sims_)
      for (const auto& sim : sims)
        taken = taken || sim.value("id", Json()) == id;
    if (!taken) return id;
  }
}

void mount_catalog(httplib::Server& server, Catalog& catalog, const Platform& platform) {
  // Every route starts by checking the organisation.
  auto known = [&platform](const httplib::Request& request, httplib::Response& response) {
    if (!platform.projects(request.matches[1]).is_null()) return true;
    reply_error(response, 404, "organization not found");
    return false;
  };

  server.Get(R"(/v1/organizations/([^/]+)/sims)",
             [&catalog, known](const httplib::Request& request, httplib::Response& response) {
               if (!known(request, response)) return;
               std::optional<std::string> name;
               if (request.has_param("name")) name = request.get_param_value("name");
               reply_json(response, 200, catalog.list(request.matches[1], name));
             });
  server.Get(R"(/v1/organizations/([^/]+)/sims/([^/]+))",
             [&catalog, known](const httplib::Request& request, httplib::Response& response) {
               if (!known(request, response)) return;
               const Json sim = catalog.get(request.matches[1], request.matches[2]);
               if (sim.is_null()) return reply_error(response, 404, "sim not found");
               reply_json(response, 200, sim);
             });
  server.Post(
      R"(/v1/organizations/([^/]+)/sims)",
      [&catalog, known](const httplib::Request& request, httplib::Response& response) {
        if (!known(request, response)) return;
        const auto body = Json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.value("name", Json()).is_string() ||
            !body.value("description", Json()).is_string())
          return reply_error(response, 422,
                             "expected a JSON object with text \"name\" and \"description\"");
        const Json sim = catalog.create(request.matches[1], body["name"], body["description"]);
        if (sim.is_null()) return reply_error(response, 409, "a sim of that name exists");
        reply_json(response, 201, sim);
      });
  server.Post(R"(/v1/organizations/([^/]+)/sims/([^/]+)/implementations)",
              [&catalog, known](const httplib::Request& request, httplib::Response& response) {
                if (!known(request, response)) return;
                if (!request.is_multipart_form_data() || !request.has_file("file") ||
                    !request.has_file("type") || request.get_file_value("file").filename.empty())
                  return reply_error(response, 422,
                                     "expected multipart/form-data with a \"file\" and a \"type\"");
                const Json version = catalog.add_implementation(
                    request.matches[1], request.matches[2], request.get_file_value("type").content,
                    request.get_file_value("file").content);
                if (version.is_null()) return reply_error(response, 404, "sim not found");
                reply_json(response, 201, version);
              });
}

}  // namespace tarvo::emulator
