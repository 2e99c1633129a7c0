#pragma once
// Just enough HTTP/1.1 for the raw keep-alive ping-pong: messages framed by
// Content-Length, read from a buffered socket. Not a general parser.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarvo::bench {

inline bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

inline std::string http_request(std::string_view path, std::string_view body) {
  return "POST " + std::string(path) +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

inline std::string http_response(std::string_view body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

class HttpReader {
 public:
  explicit HttpReader(int fd) : fd_(fd) {}

  // Reads one request or response; false at end of stream or on an error.
  bool read_message(std::string& body) {
    std::size_t header_end;
    while ((header_end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return false;
    std::size_t length = content_length(std::string_view(buffer_).substr(0, header_end));
    std::size_t total = header_end + 4 + length;
    while (buffer_.size() < total)
      if (!fill()) return false;
    body.assign(buffer_, header_end + 4, length);
    buffer_.erase(0, total);
    return true;
  }

 private:
  static std::size_t content_length(std::string_view headers) {
    for (std::size_t at = 0; (at = headers.find("\r\n", at)) != std::string_view::npos;) {
      at += 2;
      constexpr std::string_view kName = "content-length:";
      if (headers.size() - at > kName.size() &&
          strncasecmp(headers.data() + at, kName.data(), kName.size()) == 0)
        return std::strtoul(headers.data() + at + kName.size(), nullptr, 10);
    }
    return 0;
  }

  bool fill() {
    char chunk[16384];
    for (;;) {
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }

  int fd_;
  std::string buffer_;
};

}  // namespace tarvo::bench
