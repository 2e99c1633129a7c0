#pragma once
// A scripted stand-in for the Docker engine on a loopback TCP port: each request is
// answered with the raw bytes of the first rule whose text occurs in its request
// line, then the connection is closed. It exists for the engine's failures (error
// statuses, replies that are not JSON, broken streams) that a real engine does not
// produce on demand.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/fd.hpp"

namespace tarvo::test {

// A complete HTTP reply with `body`.
inline std::string http_reply(int status, const std::string& body,
                              const std::string& content_type = "application/json") {
  return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

class FakeEngine {
 public:
  FakeEngine() {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.get(), 16) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("fake engine: cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("fake engine: no pipe");
    wake_read_.reset(pipe_fds[0]);
    wake_write_.reset(pipe_fds[1]);
    // Every engine says which API it speaks first.
    on("GET /version", http_reply(200, R"({"ApiVersion":"1.41","MinAPIVersion":"1.12"})"));
    thread_ = std::thread([this] { serve(); });
  }

  ~FakeEngine() {
    (void)!::write(wake_write_.get(), "x", 1);
    thread_.join();
  }

  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // Rules added later win over earlier ones.
  void on(std::string request_line_part, std::string raw_reply) {
    std::lock_guard lock(mutex_);
    rules_.insert(rules_.begin(), {std::move(request_line_part), std::move(raw_reply)});
  }

  std::string docker_host() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

  // The request lines received so far.
  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // The body of the last request whose line holds `request_line_part`.
  std::string body_of(const std::string& request_line_part) const {
    std::lock_guard lock(mutex_);
    for (auto i = requests_.size(); i-- > 0;)
      if (requests_[i].find(request_line_part) != std::string::npos) return bodies_[i];
    return {};
  }

 private:
  void serve() {
    for (;;) {
      pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      core::Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection) answer(connection.get());
    }
  }

  void answer(int fd) {
    std::string request;
    char buffer[4096];
    std::size_t header_end = std::string::npos;
    while (header_end == std::string::npos) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
      header_end = request.find("\r\n\r\n");
    }
    // Read the body too, so that closing does not reset the connection early.
    const auto length_at = request.find("Content-Length: ");
    if (length_at != std::string::npos && length_at < header_end) {
      const std::size_t length = std::stoul(request.substr(length_at + 16));
      while (request.size() < header_end + 4 + length) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
    }
    const std::string line = request.substr(0, request.find("\r\n"));
    std::string reply = http_reply(404, R"({"message":"no rule for this request"})");
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(line);
      bodies_.push_back(request.substr(std::min(request.size(), header_end + 4)));
      for (const auto& [part, raw] : rules_) {
        if (line.find(part) != std::string::npos) {
          reply = raw;
          break;
        }
      }
    }
    std::string_view rest = reply;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::shutdown(fd, SHUT_WR);
  }

  core::Fd listener_;
  core::Fd wake_read_;
  core::Fd wake_write_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> rules_;
  std::vector<std::string> requests_;
  std::vector<std::string> bodies_;
  std::thread thread_;
};

}  // namespace tarvo::test
