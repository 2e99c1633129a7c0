// The HTTP half of a client session: one POST per call over a keep-alive connection
// of its own, HTTP/1.1 spoken directly on a TCP socket.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/interrupt.hpp"
#include "core/json_limits.hpp"
#include "core/tcp.hpp"
#include "sim/http_message.hpp"
#include "sim/transport.hpp"

namespace tarvo::sim {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kConnectTimeout{5000};
constexpr milliseconds kFinishTimeout{5000};
constexpr milliseconds kCheckAfterIdle{500};
using Clock = std::chrono::steady_clock;

// No reply within the call's time limit.
class TimedOut : public std::runtime_error {
 public:
  TimedOut() : std::runtime_error("no reply in time") {}
};

class HttpTransport final : public Transport {
 public:
  HttpTransport(const std::string& host, int port, const ClientOptions& options)
      : host_(host),
        port_(port),
        address_((host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                 std::to_string(port)),
        timeout_(options.call_timeout) {}
  ~HttpTransport() override { finish(); }

  std::string_view call(std::string_view method, std::string_view args) override {
    if (finished_) throw SessionError("the session with " + address_ + " is over");
    if (session_path_.empty()) open();
    target_.assign(session_path_).append("/");
    http1::append_escaped(target_, method);
    int status = exchange("POST", target_, args);
    if (status == 200) return body_;
    auto message = error_text(status);
    // 404 and 502: the server has no such session (any more). Anything else leaves
    // it there, so end it.
    if (status == 404 || status == 502) {
      session_path_.clear();
      finished_ = true;
    } else {
      finish();
    }
    throw SessionError(message);
  }

  void finish() override {
    if (finished_) return;
    finished_ = true;
    if (session_path_.empty()) return;
    const std::string path = std::move(session_path_);
    session_path_.clear();
    timeout_ = timeout_.count() > 0 ? std::min(timeout_, kFinishTimeout) : kFinishTimeout;
    ending_ = true;
    try {
      if (socket_) core::tcp::set_receive_timeout(socket_.get(), timeout_);
      // Sent after Ctrl-C too (a second one gives up): the server's simulator should
      // not wait to be reaped.
      round_trip("DELETE", path, {});
    } catch (...) {
      // The server is gone already, or the user insists; the session ends either way.
    }
    drop();
  }

 private:
  void open() {
    int status = exchange("POST", "/sessions", "{}");
    if (status != 200) {
      finished_ = true;
      throw SessionError(error_text(status));
    }
    auto reply = core::parse_bounded_json(body_);
    if (!reply.is_object() || !reply.contains("session") || !reply["session"].is_string()) {
      finished_ = true;
      throw SessionError("the server at " + address_ + " is not a simulator server");
    }
    session_path_ = "/sessions/";
    http1::append_escaped(session_path_, reply["session"].get<std::string>());
  }

  // One request and its reply; the reply's body lands in body_. Any failure ends the
  // session: a request that may have reached the server is never sent again.
  int exchange(std::string_view method, std::string_view target, std::string_view body) {
    core::interrupt::check();
    try {
      return round_trip(method, target, body);
    } catch (const TimedOut&) {
      fail();
      throw SessionError("no reply from the simulator server at " + address_ + " in time");
    } catch (const std::runtime_error& error) {
      fail();
      throw SessionError("cannot reach the simulator server at " + address_ + ": " + error.what());
    } catch (...) {
      drop();  // Ctrl-C: the connection may still carry this request's reply
      throw;
    }
  }

  int round_trip(std::string_view method, std::string_view target, std::string_view body) {
    http1::write_request(request_, method, target, address_, body);
    // A connection the server closed while it was idle is replaced, once, before
    // anything is sent on it. Servers close only connections idle for a while: one
    // that answered a moment ago is not worth a system call to check.
    if (socket_ && Clock::now() - last_reply_ > kCheckAfterIdle && !usable()) drop();
    if (!socket_) connect();
    if (!core::tcp::send_all(socket_.get(), request_))
      throw http1::ConnectionLost(std::string("sending failed: ") + std::strerror(errno));
    http1::ResponseHead head;
    do {
      if (!reader_->read(head)) throw http1::ConnectionLost("the server closed the connection");
    } while (head.status < 200);  // interim replies: the final one follows
    reader_->read_body(head.framing, body_);
    last_reply_ = Clock::now();
    if (!head.framing.keep_alive) drop();
    return head.status;
  }

  void connect() {
    socket_ = core::tcp::connect_to(host_, port_, kConnectTimeout, !ending_);
    core::tcp::set_receive_timeout(socket_.get(), timeout_);
    core::tcp::set_send_timeout(socket_.get(), timeout_);
    reader_.emplace(socket_.get(), [](const http1::Waiting& waiting) {
      if (waiting.why == http1::Why::timed_out) throw TimedOut();
      if (waiting.why == http1::Why::signal) core::interrupt::check();  // only Ctrl-C ends the wait
    });
  }

  // Whether the idle connection is still open with nothing unasked-for on it.
  bool usable() const {
    if (reader_->buffered() > 0) return false;
    char byte;
    ssize_t got = ::recv(socket_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }

  void drop() {
    reader_.reset();
    socket_.reset();
  }

  void fail() {
    drop();
    finished_ = true;
  }

  std::string error_text(int status) const {
    auto body = core::parse_bounded_json(body_);
    if (body.is_object() && body.contains("error") && body["error"].is_string())
      return body["error"].get<std::string>();
    return "the server at " + address_ + " answered HTTP " + std::to_string(status);
  }

  std::string host_;
  int port_;
  std::string address_;  // host:port, also the Host header
  milliseconds timeout_;
  core::Fd socket_;
  std::optional<http1::Reader> reader_;  // reads socket_
  std::string request_;
  std::string body_;
  Clock::time_point last_reply_{};
  std::string target_;
  std::string session_path_;
  bool finished_ = false;
  bool ending_ = false;  // finish() is ending the session
};

}  // namespace

std::unique_ptr<Transport> make_http_transport(const std::string& host, int port,
                                               const ClientOptions& options) {
  return std::make_unique<HttpTransport>(host, port, options);
}

}  // namespace tarvo::sim
