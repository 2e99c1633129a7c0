#pragma once
// The protocol-specific halves of a client session.
#include <memory>
#include <string>

#include "sim/client.hpp"

namespace tarvo::sim {

std::unique_ptr<Transport> make_grpc_transport(const std::string& address,
                                               const ClientOptions& options);
std::unique_ptr<Transport> make_http_transport(const std::string& host, int port,
                                               const ClientOptions& options);

}  // namespace tarvo::sim
