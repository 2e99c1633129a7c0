#include "sim/network.hpp"

#include <chrono>

#include <grpcpp/grpcpp.h>

#include "core/http.hpp"
#include "core/tcp.hpp"
#include "sim/client.hpp"

namespace tarvo::core {

namespace {

constexpr auto kProbeTimeout = std::chrono::seconds(2);

}  // namespace

bool is_port_opened(const std::string& address) {
  try {
    const auto [host, port] = sim::split_address(address);
    if (host.empty()) return false;  // not "every address": a probe names one
    tcp::connect_to(host, port, kProbeTimeout, false);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool is_channel_available(const std::string& address) {
  try {
    sim::split_address(address);
  } catch (const std::invalid_argument&) {
    return false;
  }
  auto channel = grpc::CreateChannel(address, grpc::InsecureChannelCredentials());
  const auto deadline = std::chrono::system_clock::now() + kProbeTimeout;
  for (;;) {
    auto state = channel->GetState(true);
    if (state == GRPC_CHANNEL_READY) return true;
    // A refused connection is a clear answer: no need to wait out the deadline.
    if (state == GRPC_CHANNEL_TRANSIENT_FAILURE || state == GRPC_CHANNEL_SHUTDOWN) return false;
    if (!channel->WaitForStateChange(state, deadline)) return false;
  }
}

bool is_channel_available(const sim::SimAddress& address) {
  if (address.protocol != "http") return is_channel_available(address.host_port());
  const double timeout = std::chrono::duration<double>(kProbeTimeout).count();
  try {
    // Any reply, whatever its status, is an HTTP server answering.
    http::Client().get("http://" + address.host_port() + "/", timeout);
    return true;
  } catch (const http::Error&) {
    return false;
  }
}

}  // namespace tarvo::core
