#pragma once
// HTTP over libcurl. One Client owns one connection cache (keep-alive between its
// requests). Failures are exceptions: TimeoutError when the total or connect
// time-out expires, ClientError for everything else the transport reports
// (refused, name resolution, TLS, protocol). A reply of any status is a Response,
// not an error. Ctrl-C aborts a transfer with core::Interrupted.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::core::http {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The transport failed: refused, unreachable, name resolution, TLS, protocol.
class ClientError : public Error {
 public:
  using Error::Error;
};
// A time-out expired (total or connect); what() says which.
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// TLS settings for one client: verification is always on; the system CA store is
// used unless SSL_CERT_FILE names another bundle.
struct TlsSettings {
  std::optional<std::string> ca_file;
};
TlsSettings default_tls();

struct ClientOptions {
  TlsSettings tls = default_tls();
  // Talk HTTP over this Unix socket instead of TCP (the Docker engine).
  std::optional<std::string> unix_socket;
};

struct MultipartField {
  std::string name;
  std::string value;                     // the value, or the file's name when `file_path` is set
  std::optional<std::string> file_path;  // send this file's content as the part
  std::optional<std::string> content_type;
};

struct Request {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body;        // sent as is; set a Content-Type header with it
  std::vector<MultipartField> multipart;  // when not empty: multipart/form-data body
  double timeout_seconds = 0;             // whole exchange; 0 = none
  double connect_timeout_seconds = 0;     // connection set-up; 0 = libcurl's default
  // Streams the reply body instead of collecting it; return false to stop early.
  std::function<bool(std::string_view chunk)> on_data;
  // Upload progress (bytes sent, bytes to send).
  std::function<void(std::uint64_t sent, std::uint64_t total)> on_upload_progress;
  // A collected reply body longer than this is a ClientError; 0 = no bound.
  std::size_t max_body_bytes = 0;
  // False: an interrupt neither stops nor prevents the exchange (still bounded by
  // its time-outs), for requests whose outcome the caller must know, such as one
  // that creates something remote or cleans it up.
  bool interruptible = true;
};

struct Response {
  long status = 0;
  std::string body;
  std::string content_type;
  // The body as JSON, its nesting bounded (core/json_limits.hpp); ClientError when it
  // is not JSON or nests too deeply.
  nlohmann::ordered_json json() const;
};

class Client {
 public:
  explicit Client(ClientOptions options = {});
  ~Client();
  Client(Client&&) noexcept;
  Client& operator=(Client&&) noexcept;

  Response send(const Request& request);

  // Conveniences for JSON APIs.
  Response get(const std::string& url, double timeout_seconds = 0);
  Response post_json(const std::string& url, const nlohmann::ordered_json& body,
                     double timeout_seconds = 0);
  Response del(const std::string& url, double timeout_seconds = 0);

  // Headers added to every request (for example Authorization).
  void set_default_header(std::string name, std::string value);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::core::http
