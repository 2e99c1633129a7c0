#include "core/tcp.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "core/interrupt.hpp"
#include "core/os/os.hpp"

namespace tarvo::core::tcp {

namespace {

using Clock = std::chrono::steady_clock;
using Addresses = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

Addresses resolve(const std::string& host, int port, int flags, std::string& error) {
  // "[::1]" as written in addresses; the resolver wants the bare form.
  std::string bare = host.size() > 1 && host.front() == '[' && host.back() == ']'
                         ? host.substr(1, host.size() - 2)
                         : host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  int status = getaddrinfo(bare.empty() ? nullptr : bare.c_str(), std::to_string(port).c_str(),
                           &hints, &found);
  if (status != 0) error = status == EAI_SYSTEM ? strerror(errno) : gai_strerror(status);
  return Addresses(status == 0 ? found : nullptr, freeaddrinfo);
}

// Waits for a non-blocking connect; returns 0 or the errno that ended it.
int finish_connect(int fd, Clock::time_point deadline, bool interruptible) {
  for (;;) {
    if (interruptible) interrupt::check();
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ETIMEDOUT;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {interruptible ? interrupt::wake_fd() : -1, POLLIN, 0}};
    int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0 && fds[0].revents) {
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
      return error;
    }
  }
}

timeval to_timeval(std::chrono::milliseconds timeout) {
  timeval value{};
  if (timeout.count() > 0) {
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  }
  return value;
}

bool is_wildcard(const std::string& host) {
  return host.empty() || host == "0.0.0.0" || host == "::" || host == "[::]";
}

// One IPv6 socket that takes IPv4 connections too. Sets `taken` when the port is in use.
Fd listen_dual_stack(int port, bool& taken) {
  Fd socket_fd = os::open_socket(AF_INET6, SOCK_STREAM, 0);
  if (!socket_fd) return Fd();
  int no = 0;
  int yes = 1;
  if (setsockopt(socket_fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0) return Fd();
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_port = htons(static_cast<std::uint16_t>(port));
  any.sin6_addr = in6addr_any;
  if (::bind(socket_fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    taken = errno == EADDRINUSE;
    return Fd();
  }
  if (::listen(socket_fd.get(), SOMAXCONN) != 0) return Fd();
  return socket_fd;
}

}  // namespace

Fd listen_on(const std::string& host, int port) {
  // Every address means both families, as gRPC takes it, wherever the host has IPv6.
  if (is_wildcard(host)) {
    bool taken = false;
    if (auto socket_fd = listen_dual_stack(port, taken); socket_fd || taken) return socket_fd;
  }
  std::string error;
  auto addresses = resolve(host, port, AI_PASSIVE, error);
  for (const addrinfo* it = addresses.get(); it; it = it->ai_next) {
    Fd socket_fd = os::open_socket(it->ai_family, it->ai_socktype, it->ai_protocol);
    if (!socket_fd) continue;
    int yes = 1;
    setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(socket_fd.get(), it->ai_addr, it->ai_addrlen) == 0 &&
        ::listen(socket_fd.get(), SOMAXCONN) == 0)
      return socket_fd;
  }
  return Fd();
}

int local_port(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

Fd connect_to(const std::string& host, int port, std::chrono::milliseconds timeout,
              bool interruptible) {
  const auto deadline = Clock::now() + timeout;
  std::string error;
  auto addresses = resolve(host, port, 0, error);
  if (!addresses) throw std::runtime_error("cannot resolve " + host + ": " + error);
  for (const addrinfo* it = addresses.get(); it; it = it->ai_next) {
    Fd socket_fd = os::open_socket(it->ai_family, it->ai_socktype, it->ai_protocol, true);
    if (!socket_fd) {
      error = strerror(errno);
      continue;
    }
    int status = ::connect(socket_fd.get(), it->ai_addr, it->ai_addrlen) == 0 ? 0 : errno;
    if (status == EINPROGRESS) status = finish_connect(socket_fd.get(), deadline, interruptible);
    if (status != 0) {
      error = status == ETIMEDOUT ? "no answer within " + std::to_string(timeout.count()) + " ms"
                                  : strerror(status);
      continue;
    }
    os::set_nonblocking(socket_fd.get(), false);
    set_nodelay(socket_fd.get());
    return socket_fd;
  }
  throw std::runtime_error(error.empty() ? "no address to connect to" : error);
}

void set_nodelay(int fd) {
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

void set_receive_timeout(int fd, std::chrono::milliseconds timeout) {
  timeval value = to_timeval(timeout);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

void set_send_timeout(int fd, std::chrono::milliseconds timeout) {
  timeval value = to_timeval(timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd, data.data(), data.size(), os::kNoSigpipe);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace tarvo::core::tcp
