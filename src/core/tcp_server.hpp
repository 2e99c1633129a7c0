#pragma once
// A TCP server with one thread per connection: blocking receives and sends, no event
// loop. stop() shuts every socket down, so that blocked calls return, and joins every
// thread it started.
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "core/fd.hpp"
#include "core/os/os.hpp"

namespace tarvo::core {

class TcpServer {
 public:
  // `serve` runs on the connection's own thread for as long as the conversation
  // lasts; the socket closes once it returns. A connection beyond `max_connections`
  // goes to `refuse` instead, on the accepting thread: it must not block.
  using Handler = std::function<void(int fd)>;
  TcpServer(Handler serve, Handler refuse, std::size_t max_connections);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Binds `host`:`port` (0: any port) and starts accepting; false when the address is
  // taken or not available. Once only.
  bool listen(const std::string& host, int port);
  // The bound port; 0 before listen().
  int port() const;
  // Idempotent; safe from any thread but a connection's own.
  void stop();

 private:
  struct Connection {
    Fd socket;
    std::thread thread;
    bool done = false;
  };
  void accept_loop();
  void run(Connection& connection);

  Handler serve_;
  Handler refuse_;
  std::size_t max_connections_;
  Fd listener_;  // non-blocking
  os::Event stopping_;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::list<Connection> connections_;  // a list: each thread holds on to its own entry
  int port_ = 0;
  bool stopped_ = false;
};

}  // namespace tarvo::core
