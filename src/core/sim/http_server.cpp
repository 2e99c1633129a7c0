// The HTTP/1.1 front end: JSON bodies over keep-alive connections.
//   POST   /sessions                 -> {"session": "<id>"}
//   POST   /sessions/<id>/<method>   arguments object -> the simulator's reply line
//   DELETE /sessions/<id>
// A session that ends by a fault answers 502 with {"error": ...} and is gone.
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "core/interrupt.hpp"
#include "core/sim/client.hpp"
#include "core/sim/log.hpp"
#include "core/sim/serving.hpp"

namespace tarvo::core::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Keep-alive connections each hold a worker while open: allow plenty of clients.
constexpr std::size_t kWorkers = 64;

struct HttpSession {
  explicit HttpSession(const SessionSetup& setup) : session(setup), last_used(Clock::now()) {}
  std::mutex mutex;  // one call at a time per session
  sim::Session session;
  Clock::time_point last_used;
};

std::string error_body(const std::string& message) {
  return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

class HttpServer final : public Server {
 public:
  HttpServer(SessionSetup setup, std::string host, int port, std::chrono::milliseconds idle)
      : setup_(std::move(setup)), host_(std::move(host)), port_(port), idle_timeout_(idle) {
    setup_.cancel_fd = stop_.fd();
    server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_.set_tcp_nodelay(true);
    // Without SO_REUSEPORT: a second server on a taken port must fail, not share it.
    server_.set_socket_options([](int socket) {
      int yes = 1;
      setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_keep_alive_max_count(std::numeric_limits<int>::max());
    // An idle keep-alive connection holds its worker, and stop() waits for every
    // worker: keep the wait short. Clients reconnect after an idle spell by themselves.
    server_.set_keep_alive_timeout(2);
    server_.set_payload_max_length(64 << 20);
    server_.Post("/sessions", [this](const httplib::Request&, httplib::Response& response) {
      open_session(response);
    });
    server_.Post(R"(/sessions/([0-9a-f]+)/([^/]+))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   relay(request.matches[1], request.matches[2], request.body, response);
                 });
    server_.Delete(R"(/sessions/([0-9a-f]+))",
                   [this](const httplib::Request& request, httplib::Response& response) {
                     take(request.matches[1]);
                     response.status = 204;
                   });
  }
  ~HttpServer() override { stop(); }

  // Binds and starts accepting at once, like the gRPC server: only a running
  // httplib server can be stopped again.
  void listen() override {
    std::lock_guard lock(mutex_);
    if (bound_) return;
    if (stopped_) throw std::runtime_error("the simulator server was stopped");
    int bound = -1;
    if (port_ == 0)
      bound = server_.bind_to_any_port(host_);
    else if (server_.bind_to_port(host_, port_))
      bound = port_;
    if (bound <= 0)
      throw std::runtime_error("cannot serve HTTP on " + listen_address(host_, port_) +
                               " (address in use or not available)");
    port_ = bound;
    bound_ = true;
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      listen_done_ = true;
    });
    while (!server_.is_running() && !listen_done_)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    (setup_.announce ? log_info : log_debug)(
        setup_.log_name, "serving over HTTP on " + listen_address(host_, port_));
  }

  void start() override {
    listen();
    bool interrupted = wait_for_stop_or_interrupt(stop_);
    stop();
    if (interrupted) throw Interrupted{};
  }

  void stop() override {
    std::map<std::string, std::shared_ptr<HttpSession>> sessions;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      stop_.raise();  // ends every wait on a simulator
      if (bound_) server_.stop();
      sessions.swap(sessions_);
    }
    if (thread_.joinable()) thread_.join();
    sessions.clear();  // ends the simulators, outside the lock
  }

  int port() const override {
    std::lock_guard lock(mutex_);
    return port_;
  }

 private:
  void open_session(httplib::Response& response) {
    reap_idle();
    std::shared_ptr<HttpSession> session;
    try {
      session = std::make_shared<HttpSession>(setup_);
    } catch (const std::exception& error) {
      log_info(setup_.log_name, error.what());
      response.status = 502;
      response.set_content(error_body(error.what()), "application/json");
      return;
    }
    std::string id = new_id();
    {
      std::lock_guard lock(mutex_);
      if (stopped_) {
        response.status = 503;
        response.set_content(error_body("the server is shutting down"), "application/json");
        return;
      }
      sessions_[id] = session;
    }
    response.set_content(nlohmann::json{{"session", id}}.dump(), "application/json");
  }

  void relay(const std::string& id, const std::string& method, const std::string& body,
             httplib::Response& response) {
    std::shared_ptr<HttpSession> session = find(id);
    if (!session) {
      response.status = 404;
      response.set_content(error_body("no such session (it ended or never existed)"),
                           "application/json");
      return;
    }
    std::unique_lock lock(session->mutex);
    session->last_used = Clock::now();
    try {
      auto line = session->session.call(method, body);
      response.set_content(line.data(), line.size(), "application/json");
      if (session->session.over()) {
        lock.unlock();
        take(id);
      }
    } catch (const std::exception& error) {
      log_info(setup_.log_name, std::string("session ended: ") + error.what());
      response.status = 502;
      response.set_content(error_body(error.what()), "application/json");
      lock.unlock();
      take(id);
    }
  }

  std::shared_ptr<HttpSession> find(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
  }

  // Removes a session; the simulator ends when the last user lets go of it.
  void take(const std::string& id) {
    std::shared_ptr<HttpSession> session;
    std::lock_guard lock(mutex_);
    if (auto it = sessions_.find(id); it != sessions_.end()) {
      session = std::move(it->second);
      sessions_.erase(it);
    }
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
  std::chrono::milliseconds idle_timeout_;
  StopFlag stop_;
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> listen_done_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<HttpSession>> sessions_;
  bool bound_ = false;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Server> make_http_server(SessionSetup setup, std::string host, int port,
                                         std::chrono::milliseconds idle_timeout) {
  return std::make_unique<HttpServer>(std::move(setup), std::move(host), port, idle_timeout);
}

}  // namespace tarvo::core::sim
