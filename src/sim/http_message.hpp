#pragma once
// HTTP/1.1 messages for the simulator server and its client. Heads are parsed from a
// buffered socket however the bytes arrive; bodies are framed by Content-Length or
// chunks; a message is written whole into one buffer, so that it goes out in one send.
#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo::sim::http1 {

inline constexpr std::size_t kMaxHead = std::size_t{64} << 10;
inline constexpr std::size_t kMaxBody = std::size_t{64} << 20;

// A message that breaks HTTP's rules or our limits; `status` is a server's answer.
class BadMessage : public std::runtime_error {
 public:
  BadMessage(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// The connection closed or failed part-way through a message.
class ConnectionLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Room for bodies that several readers share: take() is told how many more bytes the
// body being read is about to hold, before they are received, and throws BadMessage
// (503) when there is no room for them.
class BodyRoom {
 public:
  virtual ~BodyRoom() = default;
  virtual void take(std::size_t bytes) = 0;
};

// How a message's body is delimited, and whether the connection stays open after it.
struct Framing {
  enum class Body { none, length, chunked, until_close };
  Body body = Body::none;
  std::size_t length = 0;
  bool keep_alive = true;
};

struct RequestHead {
  std::string method;
  std::string target;
  bool http10 = false;
  bool expect_continue = false;
  Framing framing;
};

struct ResponseHead {
  int status = 0;
  Framing framing;
};

// Parse a head: the start line and header lines, without the empty line ending it.
// Throw BadMessage. Lines end with CR LF; a bare LF is an error.
void parse_request_head(std::string_view text, RequestHead& head);
void parse_response_head(std::string_view text, ResponseHead& head);

// Why a reader waits again: a receive time-out passed, a signal arrived, or only part
// of a head came. `since` is roughly when this part of the message began to keep it
// waiting (for a body: since its last bytes); it costs no clock reading when nothing
// waits.
enum class Stage { idle, head, body };  // idle: before the first byte of a message
enum class Why { timed_out, signal, partial };
struct Waiting {
  Stage stage;
  Why why;
  std::chrono::steady_clock::time_point since;
};

// A socket's input, buffered: whole heads and bodies are taken out of it, and bytes
// of the next message (pipelined) wait for the next read.
class Reader {
 public:
  // `on_wait` decides whether to go on waiting: it throws to give up. Without one, a
  // time-out is ConnectionLost. `read_size` bounds each receive.
  using OnWait = std::function<void(const Waiting&)>;
  explicit Reader(int fd, OnWait on_wait = {}, std::size_t read_size = 64 << 10);

  // The next head; false when the peer closed the connection before sending any of
  // it. Throw BadMessage, ConnectionLost, or what on_wait throws.
  bool read(RequestHead& head);
  bool read(ResponseHead& head);
  // The body the head announced, into `body`; longer than `limit` is BadMessage 413.
  // Each part of it takes its room from `room` (when given) before it is received.
  void read_body(const Framing& framing, std::string& body, std::size_t limit = kMaxBody,
                 BodyRoom* room = nullptr);

  // Bytes received and not yet taken.
  std::size_t buffered() const { return end_ - begin_; }

 private:
  template <typename Head, typename Parse>
  bool read_head(Head& head, Parse parse);
  std::string_view read_line(std::size_t limit);
  void take(std::string& out, std::size_t count);
  void read_chunked(std::string& body, std::size_t limit, BodyRoom* room);
  // Receives more into the buffer; false at the end of the stream.
  bool fill(Stage stage);
  std::size_t receive(char* data, std::size_t size, Stage stage);
  void wait(Stage stage, Why why);

  int fd_;
  OnWait on_wait_;
  std::size_t read_size_;
  std::string buffer_;  // bytes [begin_, end_) are received and not yet taken
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::chrono::steady_clock::time_point since_{};  // unset until something waits
};

// Whole messages, written into `out` (replacing what it held). `headers` are extra
// header lines, each ending in "\r\n". Bodies are JSON.
void write_response(std::string& out, int status, std::string_view body,
                    std::string_view headers = {});
void write_request(std::string& out, std::string_view method, std::string_view target,
                   std::string_view host, std::string_view body);
inline constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Path segments: any text escaped to letters, digits and "-_.~", and back. Decoding
// fails (false) on a malformed escape.
void append_escaped(std::string& out, std::string_view text);
bool unescape(std::string_view text, std::string& out);

}  // namespace tarvo::sim::http1
