#pragma once
// Reachability probes for a simulator address "host:port" ("[::1]:1337" for IPv6).
#include <string>

#include "sim/address.hpp"

namespace tarvo::core {

// Whether a TCP connection to the address succeeds within a short time-out.
bool is_port_opened(const std::string& address);

// Whether a gRPC channel to the address becomes ready within a short deadline.
bool is_channel_available(const std::string& address);

// The same for either protocol: over HTTP, whether the server answers a request.
bool is_channel_available(const sim::SimAddress& address);

}  // namespace tarvo::core
