// The HTTP/1.1 front end: JSON bodies over keep-alive connections, one thread per
// connection (blocking receive, parse, call, one send).
//   POST   /sessions                 -> {"session": "<id>"}
//   POST   /sessions/<id>/<method>   arguments object -> the simulator's reply line
//   DELETE /sessions/<id>
// A session that ends by a fault answers 502 with {"error": ...} and is gone; 503 while
// the server shuts down.
#include "sim/http_server.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/interrupt.hpp"
#include "core/tcp.hpp"
#include "core/tcp_server.hpp"
#include "sim/http_message.hpp"
#include "sim/log.hpp"
#include "sim/serving.hpp"

namespace tarvo::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kClose = "Connection: close\r\n";
constexpr std::string_view kKeepAlive = "Connection: keep-alive\r\n";

struct HttpSession {
  explicit HttpSession(const SessionSetup& setup) : session(setup), last_used(Clock::now()) {}
  std::mutex mutex;  // one call at a time per session
  sim::Session session;
  Clock::time_point last_used;
};

// Found by a view of the request's path, without a copy.
using Sessions = std::map<std::string, std::shared_ptr<HttpSession>, std::less<>>;

std::string error_body(const std::string& message) {
  return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

bool is_session_id(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

// How often a blocked receive wakes up to check the connection's time limits.
milliseconds tick(const HttpLimits& limits) {
  return std::clamp(std::min(limits.idle, limits.head) / 4, milliseconds(10), milliseconds(1000));
}

// After the last reply: stop sending, and read what the client still sends for a
// moment, so that closing with unread input does not reset the reply away.
void close_gently(int fd) {
  ::shutdown(fd, SHUT_WR);
  char sink[16384];
  for (int i = 0; i < 64; ++i)
    if (::recv(fd, sink, sizeof sink, 0) <= 0) return;
}

// One connection's buffers, reused from request to request.
struct Exchange {
  std::string out;           // the whole reply, sent in one go
  std::string_view headers;  // the Connection header of this reply
  std::string method;        // the called method's name, unescaped
};

class HttpServer final : public Server {
 public:
  HttpServer(SessionSetup setup, std::string host, int port, milliseconds idle,
             const HttpLimits& limits)
      : setup_(std::move(setup)),
        host_(std::move(host)),
        port_(port),
        idle_timeout_(idle),
        limits_(limits),
        tick_(tick(limits)),
        connections_([this](int fd) { serve(fd); }, [this](int fd) { refuse(fd); },
                     limits.max_connections) {
    setup_.cancel_fd = stop_.fd();
    http1::write_response(refusal_, 503, error_body("the server has too many connections"), kClose);
  }
  ~HttpServer() override { stop(); }

  void listen() override {
    std::lock_guard lock(mutex_);
    if (bound_) return;
    if (stopped_) throw std::runtime_error("the simulator server was stopped");
    if (!connections_.listen(host_, port_))
      throw std::runtime_error("cannot serve HTTP on " + listen_address(host_, port_) +
                               " (address in use or not available)");
    port_ = connections_.port();
    bound_ = true;
    (setup_.announce ? log_info : log_debug)(
        setup_.log_name, "serving over HTTP on " + listen_address(host_, port_));
  }

  void start() override {
    listen();
    bool interrupted = wait_for_stop_or_interrupt(stop_);
    stop();
    if (interrupted) throw core::Interrupted{};
  }

  void stop() override {
    Sessions sessions;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      stopping_ = true;
      stop_.raise();  // ends every wait on a simulator
      sessions.swap(sessions_);
    }
    connections_.stop();
    sessions.clear();  // ends the simulators, outside the lock
  }

  int port() const override {
    std::lock_guard lock(mutex_);
    return port_;
  }

 private:
  // One connection, request after request, until the client closes it, breaks the
  // rules, stays silent too long or the server stops.
  void serve(int fd) {
    core::tcp::set_receive_timeout(fd, tick_);
    http1::Reader reader(fd, [this](const http1::Waiting& waiting) {
      if (waiting.why == http1::Why::signal) return;
      // A head must be whole in time, however it trickles in (slow senders hold a
      // thread each); between requests and within a body, silence is what counts.
      auto limit = waiting.stage == http1::Stage::head ? limits_.head : limits_.idle;
      if (Clock::now() - waiting.since >= limit)
        throw http1::ConnectionLost("the client took too long");
    });
    http1::RequestHead head;
    std::string body;
    Exchange exchange;
    for (;;) {
      std::shared_ptr<HttpSession> ended;  // let go of after the reply is out
      bool keep_alive = false;
      try {
        if (!reader.read(head)) return;
        // curl waits for this before sending a large body.
        if (head.expect_continue && head.framing.body != http1::Framing::Body::none &&
            reader.buffered() == 0 && !core::tcp::send_all(fd, http1::kContinue))
          return;
        reader.read_body(head.framing, body);
        keep_alive = head.framing.keep_alive && !stopping();
        exchange.headers = keep_alive ? (head.http10 ? kKeepAlive : "") : kClose;
        ended = handle(head, body, exchange);
        // A reply to HEAD has no body, though its head says how long it would be.
        if (head.method == "HEAD") exchange.out.resize(exchange.out.find("\r\n\r\n") + 4);
      } catch (const http1::BadMessage& error) {
        log_debug(setup_.log_name, std::string("bad HTTP request: ") + error.what());
        http1::write_response(exchange.out, error.status(), error_body(error.what()), kClose);
        core::tcp::send_all(fd, exchange.out);
        close_gently(fd);
        return;
      } catch (const http1::ConnectionLost&) {
        return;
      }
      if (!core::tcp::send_all(fd, exchange.out)) return;
      if (!keep_alive) {
        close_gently(fd);
        return;
      }
    }
  }

  void refuse(int fd) {
    ::send(fd, refusal_.data(), refusal_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
  }

  // Routes one request; returns a session that ended, to be let go of once the reply is out.
  std::shared_ptr<HttpSession> handle(const http1::RequestHead& head, std::string_view body,
                                      Exchange& exchange) {
    if (stopping()) return fail(exchange, 503, "the server is shutting down");
    std::string_view path(head.target);
    path = path.substr(0, path.find('?'));
    if (path == "/sessions") {
      if (head.method != "POST") return not_allowed(exchange, "POST");
      open_session(exchange);
      return nullptr;
    }
    if (!path.starts_with("/sessions/")) return fail(exchange, 404, "no such resource");
    path.remove_prefix(10);
    auto slash = path.find('/');
    auto id = path.substr(0, slash);
    if (!is_session_id(id)) return fail(exchange, 404, "no such resource");
    if (slash == std::string_view::npos) {
      if (head.method != "DELETE") return not_allowed(exchange, "DELETE");
      http1::write_response(exchange.out, 204, {}, exchange.headers);
      return take(id);
    }
    auto escaped = path.substr(slash + 1);
    if (escaped.empty() || escaped.find('/') != std::string_view::npos)
      return fail(exchange, 404, "no such resource");
    if (head.method != "POST") return not_allowed(exchange, "POST");
    if (!http1::unescape(escaped, exchange.method))
      return fail(exchange, 400, "malformed escape in the method name");
    return relay(id, exchange.method, body, exchange);
  }

  void open_session(Exchange& exchange) {
    reap_idle();
    std::shared_ptr<HttpSession> session;
    try {
      session = std::make_shared<HttpSession>(setup_);
    } catch (const std::exception& error) {
      log_info(setup_.log_name, error.what());
      fail(exchange, 502, error.what());
      return;
    }
    std::string id = new_id();
    bool added = false;
    {
      std::lock_guard lock(mutex_);
      if (!stopped_) added = sessions_.emplace(id, session).second;
    }
    if (!added) {
      fail(exchange, 503, "the server is shutting down");
      return;
    }
    http1::write_response(exchange.out, 200, nlohmann::json{{"session", id}}.dump(),
                          exchange.headers);
  }

  std::shared_ptr<HttpSession> relay(std::string_view id, const std::string& method,
                                     std::string_view body, Exchange& exchange) {
    std::shared_ptr<HttpSession> session = find(id);
    if (!session) return fail(exchange, 404, "no such session (it ended or never existed)");
    std::unique_lock lock(session->mutex);
    session->last_used = Clock::now();
    try {
      // The reply line lives in the session until its next call: written out under the lock.
      auto line = session->session.call(method, body);
      http1::write_response(exchange.out, 200, line, exchange.headers);
      if (!session->session.over()) return nullptr;
    } catch (const std::exception& error) {
      log_info(setup_.log_name, std::string("session ended: ") + error.what());
      fail(exchange, 502, error.what());
    }
    lock.unlock();
    return take(id);
  }

  std::shared_ptr<HttpSession> fail(Exchange& exchange, int status, const std::string& message) {
    http1::write_response(exchange.out, status, error_body(message), exchange.headers);
    return nullptr;
  }

  std::shared_ptr<HttpSession> not_allowed(Exchange& exchange, std::string_view allowed) {
    std::string headers = "Allow: " + std::string(allowed) + "\r\n" + std::string(exchange.headers);
    http1::write_response(exchange.out, 405, error_body("method not allowed here"), headers);
    return nullptr;
  }

  bool stopping() const { return stopping_.load(std::memory_order_relaxed); }

  std::shared_ptr<HttpSession> find(std::string_view id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
  }

  // Removes a session; the simulator ends when the last user lets go of it.
  std::shared_ptr<HttpSession> take(std::string_view id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    auto session = std::move(it->second);
    sessions_.erase(it);
    return session;
  }

  // Clients that vanished without ending their session leave simulators behind.
  void reap_idle() {
    std::vector<std::shared_ptr<HttpSession>> idle;
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      std::unique_lock session_lock(it->second->mutex, std::try_to_lock);
      if (session_lock && now - it->second->last_used > idle_timeout_) {
        session_lock.unlock();
        idle.push_back(std::move(it->second));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Unguessable, so that one client cannot drive another's session.
  static std::string new_id() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device random;
    std::string id;
    for (int i = 0; i < 8; ++i) {
      auto bits = random();
      for (int j = 0; j < 4; ++j, bits >>= 4)
        id += kHex[bits & 15];
    }
    return id;
  }

  SessionSetup setup_;
  std::string host_;
  int port_;
  milliseconds idle_timeout_;
  HttpLimits limits_;
  milliseconds tick_;
  StopFlag stop_;
  std::string refusal_;  // the reply to connections beyond the limit
  mutable std::mutex mutex_;
  Sessions sessions_;
  bool bound_ = false;
  bool stopped_ = false;
  std::atomic<bool> stopping_{false};  // stopped_, read without the lock
  core::TcpServer connections_;        // last: its threads use everything above
};

}  // namespace

std::unique_ptr<Server> make_http_server(SessionSetup setup, std::string host, int port,
                                         milliseconds idle_timeout, const HttpLimits& limits) {
  return std::make_unique<HttpServer>(std::move(setup), std::move(host), port, idle_timeout,
                                      limits);
}

std::unique_ptr<Server> make_http_server(SessionSetup setup, std::string host, int port,
                                         milliseconds idle_timeout) {
  return make_http_server(std::move(setup), std::move(host), port, idle_timeout, HttpLimits{});
}

}  // namespace tarvo::sim
