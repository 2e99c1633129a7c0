#pragma once
// The platform API client. One APINoCode talks to one platform base URL (ending in
// /v1); its resources (organizations, projects, ...) share its transport. Replies
// that are not 2xx, or not the JSON a resource expects, are api::Error.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/http.hpp"
#include "core/settings.hpp"

namespace tarvo::api {

using Json = nlohmann::ordered_json;

// The platform answered, but not as expected. what() carries the status and the
// reply's text.
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, long status, std::string body)
      : std::runtime_error(what), status_(status), body_(std::move(body)) {}
  long status() const { return status_; }
  const std::string& body() const { return body_; }

 private:
  long status_;
  std::string body_;
};

// True for application/json and application/...+json, whatever the parameters.
bool is_json_content_type(std::string_view content_type);

// Percent-encodes one path segment, so that an id can never change the path.
std::string path_segment(std::string_view text);

// The TLS settings for one client to the platform (system CA store, SSL_CERT_FILE).
core::http::TlsSettings get_ssl_connector();

// The authenticated connection to the platform that every resource uses.
class Transport {
 public:
  Transport(std::string base_url, const core::Settings& settings);

  // GET base_url + path; the reply's JSON.
  Json get(const std::string& path);
  // POST a JSON body; the reply's JSON.
  Json post(const std::string& path, const Json& body);
  // Sends a request built by the caller (relative URL in request.url); the reply's JSON.
  Json send(core::http::Request request);

  const std::string& base_url() const { return base_url_; }
  const core::Settings& settings() const { return settings_; }
  core::http::Client& client() { return client_; }

  static constexpr double kTimeoutSeconds = 30;
  // Replies longer than this are refused rather than collected.
  static constexpr std::size_t kMaxReplyBytes = 16 << 20;

 private:
  std::string base_url_;
  core::Settings settings_;
  core::http::Client client_;
};

class Organizations {
 public:
  explicit Organizations(Transport& transport) : transport_(transport) {}

  // The user's organisations: objects with "uuid" and "name".
  Json list();
  // The one of `organizations` that the organization setting names (by uuid or name);
  // nothing when no organisation is configured. A configured one that is not there is
  // an error naming those that are.
  std::optional<Json> configured(const Json& organizations) const;

 private:
  Transport& transport_;
};

class Projects {
 public:
  explicit Projects(Transport& transport) : transport_(transport) {}

  // The organisation's projects: objects with "id" and "name".
  Json list(const std::string& organization_id);

 private:
  Transport& transport_;
};

// The organisation's simulator catalogue. Entries have "id", "name", "description"
// and "versions"; a version has "version", "configuration_status" and, once its image
// is built, "data_json".
class Sims {
 public:
  explicit Sims(Transport& transport) : transport_(transport) {}

  // All entries, in the platform's order.
  Json list(const std::string& organization_id);
  // One entry with its versions.
  Json retrieve(const std::string& organization_id, const std::string& sim_id);
  // The entry named exactly `name`, or null when there is none.
  Json get_by_name(const std::string& organization_id, const std::string& name);
  // A new, empty entry.
  Json create(const std::string& organization_id, const std::string& name,
              const std::string& description);
  // Told the bytes sent so far and the total while an upload runs.
  using UploadProgress = std::function<void(std::uint64_t sent, std::uint64_t total)>;

  // Uploads an archive as a new implementation (the platform builds a new version from
  // it).
  Json create_impl(const std::string& organization_id, const std::string& sim_id,
                   const std::string& archive_path, const std::string& type,
                   const UploadProgress& on_progress = {});

 private:
  Transport& transport_;
};

class APINoCode {
 public:
  explicit APINoCode(std::string base_url);
  APINoCode(std::string base_url, const core::Settings& settings);
  APINoCode(const APINoCode&) = delete;
  APINoCode& operator=(const APINoCode&) = delete;

 private:
  // First: the resources below hold a reference to it.
  std::unique_ptr<Transport> transport_;

 public:
  Organizations organizations;
  Projects projects;
  Sims sims;
};

}  // namespace tarvo::api
