#pragma once
// The emulated simulator catalogue: each organisation's simulators and their versions.
//
// Seeded from the "sims" key of the data file, a map from organisation uuid to a list
// of entries, kept exactly as written (so that odd entries can be served too):
//
//   {"sims": {"<org uuid>": [{"id": "...", "name": "...", "description": "...",
//                              "versions": [{"version": 1, "configuration_status": "READY",
//                                            "data_json": {...}}]}]}}
//
// An upload adds a version that is "BUILDING" without "data_json" and becomes "READY",
// with its image description, once the build time has passed (0: at once).
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform_emulator/platform.hpp"

namespace tarvo::emulator {

struct CatalogOptions {
  std::chrono::duration<double> build_time{0};
  // Where uploaded archives are kept (<dir>/<sim id>/<version>.tar.gz); nowhere when empty.
  std::filesystem::path uploads;
};

class Catalog {
 public:
  explicit Catalog(CatalogOptions options) : options_(std::move(options)) {}

  // Replaces the entries with the seed's "sims"; std::invalid_argument when malformed.
  void seed(const Json& seed);

  Json list(const std::string& organization, const std::optional<std::string>& name);
  // Null when there is no such entry.
  Json get(const std::string& organization, const std::string& id);
  // Null when the name is taken.
  Json create(const std::string& organization, const std::string& name,
              const std::string& description);
  // The new version's record; null when there is no such entry.
  Json add_implementation(const std::string& organization, const std::string& id,
                          const std::string& type, const std::string& archive);

 private:
  using Clock = std::chrono::steady_clock;
  // Fills in the versions whose build time has passed. Needs the lock.
  void finish_builds();
  std::string new_id() const;

  CatalogOptions options_;
  std::mutex mutex_;
  std::map<std::string, Json> sims_;  // organisation uuid -> list of entries
  // Pending builds: (organisation, sim id, version) -> when they are done.
  std::map<std::tuple<std::string, std::string, long>, Clock::time_point> building_;
};

// Routes under /v1/organizations/{org}/sims. Unknown organisations (per `platform`)
// get 404.
void mount_catalog(httplib::Server& server, Catalog& catalog, const Platform& platform);

}  // namespace tarvo::emulator
