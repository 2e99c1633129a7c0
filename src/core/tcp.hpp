#pragma once
// TCP sockets for the HTTP server and client: blocking, TCP_NODELAY, no SIGPIPE.
#include <chrono>
#include <string>
#include <string_view>

#include "core/fd.hpp"

namespace tarvo::core::tcp {

// A listening socket on `host` (a name, IPv4 or IPv6 address) and `port` (0: any
// free port). Empty, "0.0.0.0" and "::" mean every address of both IPv4 and IPv6
// (IPv4 alone where the host has no IPv6), as in gRPC. SO_REUSEADDR only: a taken
// port is an error, never shared. Returns an empty Fd when no address could be bound.
Fd listen_on(const std::string& host, int port);

// The local port a socket is bound to; 0 when unknown.
int local_port(int fd);

// Connects to the first address of `host` that accepts within `timeout` in all.
// Throws std::runtime_error with the reason; Ctrl-C throws core::Interrupted when
// `interruptible`.
Fd connect_to(const std::string& host, int port, std::chrono::milliseconds timeout,
              bool interruptible = true);

// Small messages go out at once (no Nagle delay).
void set_nodelay(int fd);

// Blocking receives return EAGAIN after `timeout` without data (0: wait forever).
void set_receive_timeout(int fd, std::chrono::milliseconds timeout);
void set_send_timeout(int fd, std::chrono::milliseconds timeout);

// Sends all of `data`: one send unless the kernel takes it in parts. Retries after
// signals. False when the connection failed or a send timed out.
bool send_all(int fd, std::string_view data);

}  // namespace tarvo::core::tcp
