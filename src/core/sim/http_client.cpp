// The HTTP half of a client session: one keep-alive connection, one POST per call.
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "core/interrupt.hpp"
#include "core/sim/transport.hpp"

namespace tarvo::core::sim {

namespace {

class HttpTransport final : public Transport {
 public:
  HttpTransport(const std::string& host, int port, const ClientOptions& options)
      : address_((host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                 std::to_string(port)),
        client_(host, port) {
    client_.set_keep_alive(true);
    client_.set_tcp_nodelay(true);
    client_.set_connection_timeout(std::chrono::seconds(5));
    if (options.call_timeout.count() > 0) {
      client_.set_read_timeout(options.call_timeout);
      client_.set_write_timeout(options.call_timeout);
    }
  }
  ~HttpTransport() override { finish(); }

  std::string call(std::string_view method, std::string_view args) override {
    if (finished_) throw SessionError("the session with " + address_ + " is over");
    if (session_path_.empty()) open();
    std::string path = session_path_ + "/" + std::string(method);
    auto result = client_.Post(path, args.data(), args.size(), "application/json");
    if (!result) lost(result.error());
    if (result->status == 200) return std::move(result->body);
    // The server ended the session (or never knew it): nothing more to say to it.
    session_path_.clear();
    finished_ = true;
    throw SessionError(error_text(*result));
  }

  void finish() override {
    if (finished_) return;
    finished_ = true;
    if (!session_path_.empty()) client_.Delete(session_path_);
    session_path_.clear();
  }

 private:
  void open() {
    auto result = client_.Post("/sessions", "{}", "application/json");
    if (!result) lost(result.error());
    if (result->status != 200) {
      finished_ = true;
      throw SessionError(error_text(*result));
    }
    auto reply = nlohmann::json::parse(result->body, nullptr, false);
    if (!reply.is_object() || !reply.contains("session") || !reply["session"].is_string()) {
      finished_ = true;
      throw SessionError("the server at " + address_ + " is not a simulator server");
    }
    session_path_ = "/sessions/" + reply["session"].get<std::string>();
  }

  [[noreturn]] void lost(httplib::Error error) {
    finished_ = true;
    session_path_.clear();
    interrupt::check();
    if (error == httplib::Error::Read)
      throw SessionError("no reply from the simulator server at " + address_ + " in time");
    throw SessionError("cannot reach the simulator server at " + address_ + ": " +
                       httplib::to_string(error));
  }

  std::string error_text(const httplib::Response& response) {
    auto body = nlohmann::json::parse(response.body, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_string())
      return body["error"].get<std::string>();
    return "the server at " + address_ + " answered HTTP " + std::to_string(response.status);
  }

  std::string address_;
  httplib::Client client_;
  std::string session_path_;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<Transport> make_http_transport(const std::string& host, int port,
                                               const ClientOptions& options) {
  return std::make_unique<HttpTransport>(host, port, options);
}

}  // namespace tarvo::core::sim
