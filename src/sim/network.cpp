#include "sim/network.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include <grpcpp/grpcpp.h>

#include "core/fd.hpp"
#include "sim/client.hpp"

namespace tarvo::core {

namespace {

constexpr auto kProbeTimeout = std::chrono::seconds(2);

// Whether a non-blocking connect to one resolved address completes in time.
bool connects(const addrinfo& address, int timeout_ms) {
  core::Fd socket_fd(::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              address.ai_protocol));
  if (!socket_fd) return false;
  if (::connect(socket_fd.get(), address.ai_addr, address.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd fd{socket_fd.get(), POLLOUT, 0};
  if (poll(&fd, 1, timeout_ms) != 1) return false;
  int error = 0;
  socklen_t size = sizeof error;
  return getsockopt(socket_fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

bool is_port_opened(const std::string& address) {
  std::pair<std::string, int> parts;
  try {
    parts = sim::split_address(address);
  } catch (const std::invalid_argument&) {
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(parts.first.c_str(), std::to_string(parts.second).c_str(), &hints, &found) != 0)
    return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, freeaddrinfo);
  const int timeout_ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(kProbeTimeout).count());
  for (const addrinfo* it = found; it; it = it->ai_next)
    if (connects(*it, timeout_ms)) return true;
  return false;
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

}  // namespace tarvo::core
