// The HTTP half of a client session: one POST per call over the core HTTP client,
// whose connection stays open between calls (keep-alive).
#include <cctype>

#include <nlohmann/json.hpp>

#include "core/http.hpp"
#include "core/sim/transport.hpp"

namespace tarvo::core::sim {

namespace {

// Method names go into the path; the server judges them, so any text must arrive whole.
void append_escaped(std::string& url, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
}

class HttpTransport final : public Transport {
 public:
  HttpTransport(const std::string& host, int port, const ClientOptions& options)
      : address_((host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                 std::to_string(port)),
        base_url_("http://" + address_) {
    request_.method = "POST";
    request_.headers = {{"Content-Type", "application/json"}};
    request_.connect_timeout_seconds = 5;
    if (options.call_timeout.count() > 0)
      request_.timeout_seconds = static_cast<double>(options.call_timeout.count()) / 1000.0;
  }
  ~HttpTransport() override { finish(); }

  std::string call(std::string_view method, std::string_view args) override {
    if (finished_) throw SessionError("the session with " + address_ + " is over");
    if (session_url_.empty()) open();
    request_.url.assign(session_url_).append("/");
    append_escaped(request_.url, method);
    request_.body.emplace(args);
    auto response = send();
    if (response.status == 200) return std::move(response.body);
    auto message = error_text(response);
    // 404 and 502: the server has no such session (any more). Anything else leaves
    // it there, so end it.
    if (response.status == 404 || response.status == 502) {
      session_url_.clear();
      finished_ = true;
    } else {
      finish();
    }
    throw SessionError(message);
  }

  void finish() override {
    if (finished_) return;
    finished_ = true;
    if (session_url_.empty()) return;
    try {
      client_.del(session_url_, 5);
    } catch (const http::Error&) {
      // The server is gone already; so is the session.
    }
    session_url_.clear();
  }

 private:
  void open() {
    request_.url = base_url_ + "/sessions";
    request_.body.emplace("{}");
    auto response = send();
    auto reply = nlohmann::json::parse(response.body, nullptr, false);
    if (response.status != 200) {
      finished_ = true;
      throw SessionError(error_text(response));
    }
    if (!reply.is_object() || !reply.contains("session") || !reply["session"].is_string()) {
      finished_ = true;
      throw SessionError("the server at " + address_ + " is not a simulator server");
    }
    session_url_ = base_url_ + "/sessions/" + reply["session"].get<std::string>();
  }

  http::Response send() {
    try {
      return client_.send(request_);
    } catch (const http::TimeoutError&) {
      finished_ = true;
      throw SessionError("no reply from the simulator server at " + address_ + " in time");
    } catch (const http::Error& error) {
      finished_ = true;
      throw SessionError("cannot reach the simulator server at " + address_ + ": " + error.what());
    }
  }

  std::string error_text(const http::Response& response) const {
    auto body = nlohmann::json::parse(response.body, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_string())
      return body["error"].get<std::string>();
    return "the server at " + address_ + " answered HTTP " + std::to_string(response.status);
  }

  std::string address_;
  std::string base_url_;
  http::Client client_;
  http::Request request_;
  std::string session_url_;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<Transport> make_http_transport(const std::string& host, int port,
                                               const ClientOptions& options) {
  return std::make_unique<HttpTransport>(host, port, options);
}

}  // namespace tarvo::core::sim
