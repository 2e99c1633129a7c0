#pragma once
// Pieces shared by the gRPC and HTTP servers.
#include <memory>
#include <string>

#include "core/os/os.hpp"
#include "sim/server.hpp"
#include "sim/session.hpp"

namespace tarvo::sim {

// A level-triggered "stop" flag that poll() can wait on: once raised, it stays readable.
class StopFlag {
 public:
  void raise() { event_.signal(); }
  int fd() const { return event_.fd(); }

 private:
  core::os::Event event_;
};

// Whether the flag behind `fd` (a StopFlag's) has been raised.
bool is_raised(int fd);

// Blocks until `stop` is raised (returns false) or the user presses Ctrl-C (true).
bool wait_for_stop_or_interrupt(const StopFlag& stop);

// "host:port" for a listening address; IPv6 hosts get brackets.
std::string listen_address(const std::string& host, int port);

std::unique_ptr<Server> make_grpc_server(SessionSetup setup, std::string host, int port);
std::unique_ptr<Server> make_http_server(SessionSetup setup, std::string host, int port,
                                         std::chrono::milliseconds idle_timeout);

}  // namespace tarvo::sim
