#include "sim/serving.hpp"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/interrupt.hpp"

namespace tarvo::sim {

bool is_raised(int fd) {
  pollfd flag{fd, POLLIN, 0};
  return fd >= 0 && poll(&flag, 1, 0) == 1;
}

bool wait_for_stop_or_interrupt(const StopFlag& stop) {
  for (;;) {
    if (core::interrupt::requested()) return true;
    pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {core::interrupt::wake_fd(), POLLIN, 0}};
    int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno != EINTR)
      throw std::runtime_error(std::string("waiting for the server failed: ") + strerror(errno));
    if (core::interrupt::requested()) return true;
    if (ready > 0 && fds[0].revents) return false;
  }
}

std::string listen_address(const std::string& host, int port) {
  if (host.find(':') != std::string::npos && host.front() != '[')
    return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

}  // namespace tarvo::sim
