// The HTTP/1.1 front end: JSON bodies over keep-alive connections, one thread per
// connection (blocking receive, parse, call, one send).
//   POST   /sessions                 -> {"session": "<id>"}
//   POST   /sessions/<id>/<method>   arguments object -> the simulator's reply line
//   DELETE /sessions/<id>
//   GET    /healthz                  -> {"status": "SERVING"} (for probes)
// A session that ends by a fault answers 502 with {"error": ...} and is gone; 503 while
// the server shuts down, when the session cap is reached, or when the bodies held
// across connections would pass their ceiling. A request is routed by its head: a body
// nobody would take (unknown route or session) is never read, and its connection closes.
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
#include "core/json_limits.hpp"
#include "core/os/os.hpp"
#include "core/tcp.hpp"
#include "core/tcp_server.hpp"
#include "sim/http_message.hpp"
#include "sim/json_shape.hpp"
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

// A body to open or end a session is small.
constexpr std::size_t kMaxSmallBody = std::size_t{64} << 10;
// A connection's buffer that one large request or reply grew past this is let go.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 20;

void release_if_large(std::string& buffer) {
  if (buffer.capacity() > kKeepCapacity) std::string().swap(buffer);
}

// One connection's buffers, reused from request to request.
struct Exchange {
  std::string out;           // the whole reply, sent in one go
  std::string_view headers;  // the Connection header of this reply
  std::string method;        // the called method's name, unescaped
};

// The bytes that request bodies hold across all connections.
class BodyBudget {
 public:
  explicit BodyBudget(std::size_t limit) : limit_(limit) {}
  bool reserve(std::size_t bytes) {
    auto used = used_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit_ - used) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
  }
  void release(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

// One request's share of the budget, given back when the request is done.
class BodyShare final : public http1::BodyRoom {
 public:
  explicit BodyShare(BodyBudget& budget) : budget_(budget) {}
  ~BodyShare() override {
    if (reserved_ > 0) budget_.release(reserved_);  // small bodies touch nothing shared
  }
  BodyShare(const BodyShare&) = delete;
  BodyShare& operator=(const BodyShare&) = delete;

  void take(std::size_t bytes) override {
    body_ += bytes;
    if (body_ <= HttpLimits::kFreeBody) return;
    if (!budget_.reserve(body_ - reserved_))
      throw http1::BadMessage(503, "the server holds as many request bodies as it may; try again");
    reserved_ = body_;
  }

 private:
  BodyBudget& budget_;
  std::size_t body_ = 0;
  std::size_t reserved_ = 0;
};

// Where a request goes, decided from its head alone.
struct Route {
  enum class Kind { open, end, call, health, refuse };
  Kind kind = Kind::refuse;
  std::string_view id;                   // end, call: the session's id (in the head)
  std::string_view escaped_method;       // call: as it stands in the path
  std::shared_ptr<HttpSession> session;  // call
  int status = 0;                        // refuse
  std::string message;                   // refuse
  std::string_view allow;                // refuse with 405
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
    // Every simulator is told at once, so that they share one grace period; then
    // they are ended one by one, outside the lock.
    for (auto& [id, session] : sessions)
      session->session.begin_ending();
    sessions.clear();
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
        Route route = route_of(head);
        const bool has_body = head.framing.body != http1::Framing::Body::none;
        keep_alive = head.framing.keep_alive && !stopping();
        if (route.kind == Route::Kind::refuse && has_body) keep_alive = false;  // body unread
        exchange.headers = keep_alive ? (head.http10 ? kKeepAlive : "") : kClose;
        if (route.kind == Route::Kind::refuse) {
          refuse(exchange, route);
        } else {
          BodyShare share(budget_);
          http1::BodyRoom* room = &share;
          const auto limit = route.kind == Route::Kind::call ? http1::kMaxBody : kMaxSmallBody;
          // curl waits for this before sending a large body.
          if (head.expect_continue && has_body && reader.buffered() == 0) {
            if (head.framing.body == http1::Framing::Body::length && head.framing.length <= limit) {
              share.take(head.framing.length);  // no invitation without room for the body
              room = nullptr;
            }
            if (!core::tcp::send_all(fd, http1::kContinue)) return;
          }
          reader.read_body(head.framing, body, limit, room);
          ended = handle(route, body, exchange);
        }
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
      release_if_large(body);
      const bool sent = core::tcp::send_all(fd, exchange.out);
      release_if_large(exchange.out);
      if (!sent) return;
      if (!keep_alive) {
        close_gently(fd);
        return;
      }
    }
  }

  void refuse(int fd) {
    ::send(fd, refusal_.data(), refusal_.size(), MSG_DONTWAIT | core::os::kNoSigpipe);
    ::shutdown(fd, SHUT_WR);
  }

  // Where a request goes, from its head: a session to call is looked up now, so that
  // a body for one that does not exist is never read.
  Route route_of(const http1::RequestHead& head) {
    Route route;
    auto refuse = [&route](int status, std::string message, std::string_view allow = {}) {
      route.kind = Route::Kind::refuse;
      route.status = status;
      route.message = std::move(message);
      route.allow = allow;
      return std::move(route);
    };
    if (stopping()) return refuse(503, "the server is shutting down");
    std::string_view path(head.target);
    path = path.substr(0, path.find('?'));
    if (path == "/healthz") {
      if (head.method != "GET" && head.method != "HEAD")
        return refuse(405, "method not allowed here", "GET, HEAD");
      route.kind = Route::Kind::health;
      return route;
    }
    if (path == "/sessions") {
      if (head.method != "POST") return refuse(405, "method not allowed here", "POST");
      route.kind = Route::Kind::open;
      return route;
    }
    if (!path.starts_with("/sessions/")) return refuse(404, "no such resource");
    path.remove_prefix(10);
    auto slash = path.find('/');
    auto id = path.substr(0, slash);
    if (!is_session_id(id)) return refuse(404, "no such resource");
    route.id = id;
    if (slash == std::string_view::npos) {
      if (head.method != "DELETE") return refuse(405, "method not allowed here", "DELETE");
      route.kind = Route::Kind::end;
      return route;
    }
    auto escaped = path.substr(slash + 1);
    if (escaped.empty() || escaped.find('/') != std::string_view::npos)
      return refuse(404, "no such resource");
    if (head.method != "POST") return refuse(405, "method not allowed here", "POST");
    route.session = find(id);
    if (!route.session) return refuse(404, "no such session (it ended or never existed)");
    route.kind = Route::Kind::call;
    route.escaped_method = escaped;
    return route;
  }

  void refuse(Exchange& exchange, const Route& route) {
    if (route.status != 405) {
      fail(exchange, route.status, route.message);
      return;
    }
    std::string headers =
        "Allow: " + std::string(route.allow) + "\r\n" + std::string(exchange.headers);
    http1::write_response(exchange.out, 405, error_body(route.message), headers);
  }

  // Carries out a routed request; returns a session that ended, to be let go of once
  // the reply is out.
  std::shared_ptr<HttpSession> handle(const Route& route, std::string& body, Exchange& exchange) {
    switch (route.kind) {
      case Route::Kind::open:
        open_session(body, exchange);
        return nullptr;
      case Route::Kind::end:
        http1::write_response(exchange.out, 204, {}, exchange.headers);
        return take(route.id);
      case Route::Kind::call:
        break;
      case Route::Kind::health:
        // Serving: a server that shuts down answers 503 before it gets here.
        http1::write_response(exchange.out, 200, R"({"status": "SERVING"})", exchange.headers);
        return nullptr;
      case Route::Kind::refuse:
        refuse(exchange, route);
        return nullptr;
    }
    if (!http1::unescape(route.escaped_method, exchange.method))
      return fail(exchange, 400, "malformed escape in the method name");
    return relay(route, exchange.method, body, exchange);
  }

  void open_session(std::string_view body, Exchange& exchange) {
    // Only a well-formed request starts a simulator: no body, or a JSON object.
    if (body.find_first_not_of(" \t\r\n") != std::string_view::npos && !json_shape(body).object) {
      fail(exchange, 400, "the body of POST /sessions must be empty or a JSON object");
      return;
    }
    reap_idle();
    std::shared_ptr<HttpSession> session;
    try {
      session = std::make_shared<HttpSession>(setup_);
    } catch (const TooManySessions& error) {
      log_debug(setup_.log_name, error.what());
      fail(exchange, 503, error.what());
      return;
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

  std::shared_ptr<HttpSession> relay(const Route& route, const std::string& method,
                                     std::string& body, Exchange& exchange) {
    const auto& session = route.session;
    std::unique_lock lock(session->mutex);
    session->last_used = Clock::now();
    try {
      // The reply line lives in the session until its next call: written out under the lock.
      auto line = session->session.call_in_place(method, body);
      http1::write_response(exchange.out, 200, line, exchange.headers);
      if (!session->session.over()) return nullptr;
    } catch (const std::exception& error) {
      // Sessions that end because the server stops are no news.
      (is_raised(setup_.cancel_fd) ? log_debug : log_info)(
          setup_.log_name, std::string("session ended: ") + error.what());
      fail(exchange, 502, error.what());
    }
    lock.unlock();
    return take(route.id);
  }

  std::shared_ptr<HttpSession> fail(Exchange& exchange, int status, const std::string& message) {
    http1::write_response(exchange.out, status, error_body(message), exchange.headers);
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
  BodyBudget budget_{limits_.max_buffered};
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
