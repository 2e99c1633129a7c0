#pragma once
// A private network namespace for tests that need fixed ports (8000, 8888, 1337)
// to themselves.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "core/fd.hpp"

namespace tarvo::test {

// Moves the calling thread (and every process it starts) into a fresh network
// namespace with only loopback, and back again when destroyed.
class PrivateNetwork {
 public:
  // Nothing, with `reason` set, where the system does not allow it.
  static std::unique_ptr<PrivateNetwork> enter(std::string& reason) {
    core::Fd original(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!original) {
      reason = std::string("cannot open /proc/self/ns/net: ") + std::strerror(errno);
      return nullptr;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
      reason = std::string("a private network namespace is not permitted here (") +
               std::strerror(errno) + "); these tests need fixed ports to themselves";
      return nullptr;
    }
    auto network = std::make_unique<PrivateNetwork>(Key{}, std::move(original));
    core::Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!socket || ::ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0 ||
        (request.ifr_flags |= IFF_UP, ::ioctl(socket.get(), SIOCSIFFLAGS, &request) != 0)) {
      reason = std::string("cannot bring up loopback: ") + std::strerror(errno);
      return nullptr;
    }
    return network;
  }
  ~PrivateNetwork() { ::setns(original_.get(), CLONE_NEWNET); }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

 private:
  struct Key {};  // only enter() makes one

 public:
  PrivateNetwork(Key, core::Fd original) : original_(std::move(original)) {}

 private:
  core::Fd original_;
};

}  // namespace tarvo::test
