#include "core/tcp_server.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "core/os/os.hpp"
#include "core/tcp.hpp"

namespace tarvo::core {

TcpServer::TcpServer(Handler serve, Handler refuse, std::size_t max_connections)
    : serve_(std::move(serve)), refuse_(std::move(refuse)), max_connections_(max_connections) {}

TcpServer::~TcpServer() {
  stop();
}

bool TcpServer::listen(const std::string& host, int port) {
  std::lock_guard lock(mutex_);
  if (listener_ || stopped_) return false;
  listener_ = tcp::listen_on(host, port);
  if (!listener_) return false;
  // Accepts wait in poll() beside the stop event: shutting a listening socket down
  // wakes a blocked accept() on Linux only.
  os::set_nonblocking(listener_.get());
  port_ = tcp::local_port(listener_.get());
  acceptor_ = std::thread([this] { accept_loop(); });
  return true;
}

int TcpServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void TcpServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    // Wakes the accepting thread and every blocked receive or send.
    stopping_.signal();
    for (auto& connection : connections_)
      if (connection.socket) ::shutdown(connection.socket.get(), SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::list<Connection> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);  // the entries stay where their threads see them
  }
  for (auto& connection : connections)
    if (connection.thread.joinable()) connection.thread.join();
  listener_.reset();
}

void TcpServer::accept_loop() {
  // Out of descriptors or memory: wait for some to be given back.
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  for (;;) {
    auto readiness = os::Readiness::woken;
    try {
      readiness = os::wait_readable(listener_.get(), stopping_.fd(), -1);
    } catch (const std::system_error&) {
      pause();
    }
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
    }
    if (readiness != os::Readiness::ready) continue;
    Fd socket = os::accept_connection(listener_.get());
    if (!socket) {
      // The client gave up before it was accepted, or a signal came first.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
        continue;
      pause();
      continue;
    }
    tcp::set_nodelay(socket.get());
    std::list<Connection> finished;
    std::unique_lock lock(mutex_);
    if (stopped_) return;
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
    if (connections_.size() >= max_connections_) {
      lock.unlock();
      refuse_(socket.get());
    } else {
      try {
        auto& connection = connections_.emplace_back();
        connection.socket = std::move(socket);
        connection.thread = std::thread([this, &connection] { run(connection); });
      } catch (const std::exception&) {
        // No thread (or memory) to be had: this connection closes, the others go on.
        if (!connections_.empty() && !connections_.back().thread.joinable())
          connections_.pop_back();
      }
      lock.unlock();
    }
    for (auto& done : finished)
      done.thread.join();
  }
}

void TcpServer::run(Connection& connection) {
  try {
    serve_(connection.socket.get());
  } catch (...) {
    // A handler's failure ends its own connection only.
  }
  std::lock_guard lock(mutex_);
  // Closed under the lock: stop() never shuts down a descriptor that was reused.
  connection.socket.reset();
  connection.done = true;
}

}  // namespace tarvo::core
