// HTTP/1.1 as the simulator server and its client read it: heads parsed directly,
// and whole streams of requests read through a socket, heads and bodies, until they
// end or break a rule. Path segments escape and unescape to themselves.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/http_message.hpp"

namespace {

namespace http1 = tarvo::sim::http1;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads requests from `text` until the stream ends or breaks a rule.
void read_stream(std::string_view text) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  // Fuzz inputs are far smaller than a socket's buffer: written whole at once.
  if (::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
    ::shutdown(fds[1], SHUT_WR);
    http1::Reader reader(fds[0], {}, 7);  // small receives split heads anywhere
    http1::RequestHead head;
    std::string body;
    try {
      while (reader.read(head))
        reader.read_body(head.framing, body, 1 << 16);
    } catch (const http1::BadMessage& error) {
      require(error.status() >= 400 && error.status() < 600);
    } catch (const http1::ConnectionLost&) {
    }
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    http1::RequestHead head;
    http1::parse_request_head(text, head);
    require(head.framing.length <= http1::kMaxBody);
  } catch (const http1::BadMessage&) {
  }
  try {
    http1::ResponseHead head;
    http1::parse_response_head(text, head);
  } catch (const http1::BadMessage&) {
  }
  read_stream(text);
  std::string escaped;
  http1::append_escaped(escaped, text);
  std::string back;
  require(http1::unescape(escaped, back) && back == text);
  return 0;
}
