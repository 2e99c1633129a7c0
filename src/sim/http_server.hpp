#pragma once
// How the HTTP front end treats connections (the sessions' own limits are in
// SessionSetup and ServerOptions).
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "sim/server.hpp"
#include "sim/session.hpp"

namespace tarvo::sim {

struct HttpLimits {
  // Connections beyond this are answered 503 and closed.
  std::size_t max_connections = 256;
  // A keep-alive connection with no request for this long is closed.
  std::chrono::milliseconds idle{std::chrono::seconds(60)};
  // From the first byte of a request to the end of its head (slow senders hold a thread).
  std::chrono::milliseconds head{std::chrono::seconds(10)};
  // Request bodies held at once across all connections; a body that would go beyond
  // is answered 503 before it is read. Bodies up to kFreeBody are not counted: what
  // they hold is bounded by the connection limit.
  std::size_t max_buffered = std::size_t{128} << 20;
  static constexpr std::size_t kFreeBody = std::size_t{64} << 10;
};

std::unique_ptr<Server> make_http_server(SessionSetup setup, std::string host, int port,
                                         std::chrono::milliseconds idle_timeout,
                                         const HttpLimits& limits);

}  // namespace tarvo::sim
