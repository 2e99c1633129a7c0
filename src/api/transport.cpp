#include <cctype>
#include <string_view>

#include "api/client.hpp"
#include "core/json_limits.hpp"

namespace tarvo::api {
namespace {

// Reply bodies in messages are cut short so that an HTML error page stays readable.
std::string excerpt(std::string_view body) {
  constexpr std::size_t kLimit = 500;
  if (body.size() <= kLimit) return std::string(body);
  return std::string(body.substr(0, kLimit)) + "...";
}

}  // namespace

bool is_json_content_type(std::string_view content_type) {
  // The media type without its parameters, compared case-blind.
  std::string type(content_type.substr(0, content_type.find(';')));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
    type.pop_back();
  for (char& c : type)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "application/json" || (type.rfind("application/", 0) == 0 && type.size() > 5 &&
                                        type.compare(type.size() - 5, 5, "+json") == 0);
}

std::string path_segment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

core::http::TlsSettings get_ssl_connector() {
  return core::http::default_tls();
}

Transport::Transport(std::string base_url, const core::Settings& settings)
    : base_url_(std::move(base_url)),
      settings_(settings),
      client_(core::http::ClientOptions{get_ssl_connector(), std::nullopt}) {
  while (!base_url_.empty() && base_url_.back() == '/')
    base_url_.pop_back();
  if (settings_.api_key && !settings_.api_key->empty())
    client_.set_default_header("Authorization", "Bearer " + *settings_.api_key);
}

Json Transport::get(const std::string& path) {
  core::http::Request request;
  request.method = "GET";
  request.url = path;
  return send(std::move(request));
}

Json Transport::post(const std::string& path, const Json& body) {
  core::http::Request request;
  request.method = "POST";
  request.url = path;
  request.body = body.dump();
  request.headers.emplace_back("Content-Type", "application/json");
  return send(std::move(request));
}

Json Transport::send(core::http::Request request) {
  const std::string what = request.method + " " + base_url_ + request.url;
  request.url = base_url_ + request.url;
  if (request.timeout_seconds == 0) request.timeout_seconds = kTimeoutSeconds;
  request.max_body_bytes = kMaxReplyBytes;
  request.headers.emplace_back("Accept", "application/json");
  core::http::Response response;
  // Name the platform in transport failures: "Failed to connect" alone does not say to what.
  try {
    response = client_.send(request);
  } catch (const core::http::TimeoutError& error) {
    throw core::http::TimeoutError("cannot reach the platform (" + what + "): " + error.what());
  } catch (const core::http::ClientError& error) {
    throw core::http::ClientError("cannot reach the platform (" + what + "): " + error.what());
  }
  if (response.status < 200 || response.status > 299) {
    throw Error("platform request " + what + " failed (" + std::to_string(response.status) +
                    "): " + excerpt(response.body),
                response.status, response.body);
  }
  if (!is_json_content_type(response.content_type)) {
    throw Error("platform reply to " + what + " is not JSON (content type \"" +
                    response.content_type + "\"): " + excerpt(response.body),
                response.status, response.body);
  }
  try {
    return core::parse_outside_json(response.body);
  } catch (const core::JsonError& error) {
    throw Error("platform reply to " + what + " is not understood (" +
                    std::to_string(response.status) + "): " + error.what(),
                response.status, response.body);
  }
}

APINoCode::APINoCode(std::string base_url)
    : APINoCode(std::move(base_url), core::load_settings()) {}

APINoCode::APINoCode(std::string base_url, const core::Settings& settings)
    : transport_(std::make_unique<Transport>(std::move(base_url), settings)),
      organizations(*transport_),
      projects(*transport_),
      sims(*transport_) {}

}  // namespace tarvo::api
