#include "sim/http_message.hpp"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace tarvo::sim::http1 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t npos = std::string_view::npos;
constexpr std::size_t kMaxChunkLine = 1024;
constexpr std::size_t kMinFree = 4096;  // receive into at least this much room
constexpr std::size_t kMinGrowth = std::size_t{64} << 10;

bool is_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Every request passes its method and header names through this: a table costs one
// load per character.
constexpr auto kTokenChars = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c)
    table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c)
    table[c] = table[c - 'a' + 'A'] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// What a header value may hold: anything but control characters (a tab is fine).
constexpr auto kFieldChars = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c)
    table[c] = (c >= 0x20 && c != 0x7f) || c == '\t';
  return table;
}();

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text)
    if (!kTokenChars[c]) return false;
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::string_view next_line(std::string_view& rest) {
  auto end = rest.find("\r\n");
  auto line = rest.substr(0, end);
  rest = end == npos ? std::string_view{} : rest.substr(end + 2);
  return line;
}

// Decimal digits only: no sign, no blanks, no list of values.
bool parse_length(std::string_view text, std::size_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return true;
}

std::string describe(std::size_t bytes) {
  if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// What a head's header lines say about framing; other headers are checked for form only.
struct Headers {
  bool has_length = false;
  std::size_t length = 0;
  bool chunked = false;
  bool other_coding = false;
  bool close = false;
  bool keep_alive = false;
  bool expect_continue = false;
};

// One pass over each line: the name's characters up to the colon, the value's up to
// the line's end; every request's head goes through here.
void parse_headers(std::string_view rest, Headers& facts) {
  const char* p = rest.data();
  const char* const end = p + rest.size();
  while (p != end) {
    if (*p == ' ' || *p == '\t') throw BadMessage(400, "folded header lines are not supported");
    const char* name_begin = p;
    while (p != end && kTokenChars[static_cast<unsigned char>(*p)])
      ++p;
    if (p == name_begin || p == end || *p != ':') throw BadMessage(400, "malformed header line");
    const std::string_view name(name_begin, static_cast<std::size_t>(p - name_begin));
    const char* value_begin = ++p;
    while (p != end && kFieldChars[static_cast<unsigned char>(*p)])
      ++p;
    auto value = trim(std::string_view(value_begin, static_cast<std::size_t>(p - value_begin)));
    if (p != end) {
      // Lines end with CR LF; any other control character is out of place.
      if (*p != '\r' || end - p < 2 || p[1] != '\n')
        throw BadMessage(400, "control character in header " + std::string(name));
      p += 2;
    }
    if (iequals(name, "content-length")) {
      std::size_t length = 0;
      if (!parse_length(value, length))
        throw BadMessage(400, "malformed Content-Length: " + std::string(value.substr(0, 40)));
      if (facts.has_length && facts.length != length)
        throw BadMessage(400, "conflicting Content-Length headers");
      facts.has_length = true;
      facts.length = length;
    } else if (iequals(name, "transfer-encoding")) {
      // Only a single "chunked" is understood; anything layered on it is not.
      if (iequals(value, "chunked") && !facts.chunked && !facts.other_coding)
        facts.chunked = true;
      else
        facts.other_coding = true;
    } else if (iequals(name, "connection")) {
      while (!value.empty()) {
        auto comma = value.find(',');
        auto option = trim(value.substr(0, comma));
        value = comma == npos ? std::string_view{} : value.substr(comma + 1);
        if (iequals(option, "close")) facts.close = true;
        if (iequals(option, "keep-alive")) facts.keep_alive = true;
      }
    } else if (iequals(name, "expect")) {
      if (iequals(value, "100-continue")) facts.expect_continue = true;
    }
  }
}

bool keeps_alive(const Headers& facts, bool http10) {
  if (facts.close) return false;
  return !http10 || facts.keep_alive;
}

void append_number(std::string& out, std::size_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

std::string_view reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

}  // namespace

void parse_request_head(std::string_view text, RequestHead& head) {
  auto line = next_line(text);
  auto first = line.find(' ');
  auto second = first == npos ? npos : line.find(' ', first + 1);
  if (second == npos || line.find(' ', second + 1) != npos)
    throw BadMessage(400, "malformed request line");
  auto method = line.substr(0, first);
  auto target = line.substr(first + 1, second - first - 1);
  auto version = line.substr(second + 1);
  if (!is_token(method) || target.empty()) throw BadMessage(400, "malformed request line");
  for (unsigned char c : target)
    if (c <= 0x20 || c == 0x7f) throw BadMessage(400, "malformed request target");
  if (version == "HTTP/1.1")
    head.http10 = false;
  else if (version == "HTTP/1.0")
    head.http10 = true;
  else if (version.starts_with("HTTP/"))
    throw BadMessage(505, "only HTTP/1.0 and HTTP/1.1 are served");
  else
    throw BadMessage(400, "malformed request line");
  head.method.assign(method);
  head.target.assign(target);

  Headers facts;
  parse_headers(text, facts);
  if (facts.other_coding)
    throw BadMessage(501, "only the chunked transfer coding is supported for request bodies");
  if (facts.chunked && facts.has_length)
    throw BadMessage(400, "both Content-Length and Transfer-Encoding were given");
  head.framing = Framing{};
  head.framing.keep_alive = keeps_alive(facts, head.http10);
  head.expect_continue = facts.expect_continue && !head.http10;
  if (facts.chunked) {
    head.framing.body = Framing::Body::chunked;
  } else if (facts.has_length && facts.length > 0) {
    if (facts.length > kMaxBody)
      throw BadMessage(413, "the request body is longer than " + describe(kMaxBody));
    head.framing.body = Framing::Body::length;
    head.framing.length = facts.length;
  }
}

void parse_response_head(std::string_view text, ResponseHead& head) {
  auto line = next_line(text);
  // "HTTP/1.x 200" and an optional reason.
  bool valid = line.size() >= 12 && line.starts_with("HTTP/1.") && line[7] >= '0' &&
               line[7] <= '9' && line[8] == ' ' && (line.size() == 12 || line[12] == ' ');
  int status = 0;
  for (std::size_t i = 9; valid && i < 12; ++i) {
    valid = line[i] >= '0' && line[i] <= '9';
    status = status * 10 + (line[i] - '0');
  }
  if (!valid || status < 100) throw BadMessage(502, "not an HTTP/1.x reply");
  const bool http10 = line[7] == '0';
  head.status = status;

  Headers facts;
  parse_headers(text, facts);
  head.framing = Framing{};
  head.framing.keep_alive = keeps_alive(facts, http10);
  if (status < 200 || status == 204 || status == 304) return;
  if (facts.other_coding) throw BadMessage(502, "the reply uses an unsupported transfer coding");
  if (facts.chunked) {
    head.framing.body = Framing::Body::chunked;
  } else if (facts.has_length) {
    if (facts.length > 0) head.framing.body = Framing::Body::length;
    head.framing.length = facts.length;
  } else {
    head.framing.body = Framing::Body::until_close;
    head.framing.keep_alive = false;
  }
}

Reader::Reader(int fd, OnWait on_wait, std::size_t read_size)
    : fd_(fd), on_wait_(std::move(on_wait)), read_size_(std::max<std::size_t>(read_size, 1)) {}

bool Reader::read(RequestHead& head) {
  return read_head(head, parse_request_head);
}

bool Reader::read(ResponseHead& head) {
  return read_head(head, parse_response_head);
}

template <typename Head, typename Parse>
bool Reader::read_head(Head& head, Parse parse) {
  since_ = {};
  std::size_t scanned = 0;  // bytes already searched for the end of the head
  for (;;) {
    // Empty lines before a message are allowed.
    while (buffered() >= 2 && buffer_[begin_] == '\r' && buffer_[begin_ + 1] == '\n') {
      begin_ += 2;
      scanned = scanned > 2 ? scanned - 2 : 0;
    }
    std::string_view data(buffer_.data() + begin_, buffered());
    auto end = data.find("\r\n\r\n", scanned >= 3 ? scanned - 3 : 0);
    // A head written with bare LFs would never end for us: refused at once, not
    // after its time runs out.
    for (auto lf = data.find('\n', scanned); lf < std::min(end, data.size());
         lf = data.find('\n', lf + 1))
      if (lf == 0 || data[lf - 1] != '\r')
        throw BadMessage(400, "the lines of a message head must end with CR LF");
    if (end != npos && end <= kMaxHead) {
      parse(data.substr(0, end), head);
      begin_ += end + 4;
      return true;
    }
    if (data.size() > kMaxHead)
      throw BadMessage(431, "the message head is longer than " + describe(kMaxHead));
    if (scanned == 0 && !data.empty()) since_ = {};  // the head began: its own clock
    if (!data.empty()) wait(Stage::head, Why::partial);
    scanned = data.size();
    if (!fill(data.empty() ? Stage::idle : Stage::head)) {
      if (buffered() == 0) return false;
      throw ConnectionLost("the connection closed in the middle of a message head");
    }
  }
}

void Reader::read_body(const Framing& framing, std::string& body, std::size_t limit,
                       BodyRoom* room) {
  body.clear();
  switch (framing.body) {
    case Framing::Body::none:
      return;
    case Framing::Body::length:
      if (framing.length > limit)
        throw BadMessage(413, "the body is longer than " + describe(limit));
      if (room) room->take(framing.length);
      take(body, framing.length);
      return;
    case Framing::Body::chunked:
      read_chunked(body, limit, room);
      return;
    case Framing::Body::until_close:
      for (;;) {
        if (buffered() > limit - body.size())
          throw BadMessage(413, "the body is longer than " + describe(limit));
        if (room) room->take(buffered());
        body.append(buffer_, begin_, buffered());
        begin_ = end_ = 0;
        since_ = {};
        if (!fill(Stage::body)) return;
      }
  }
}

void Reader::read_chunked(std::string& body, std::size_t limit, BodyRoom* room) {
  for (;;) {
    auto line = read_line(kMaxChunkLine);
    auto digits = trim(line.substr(0, line.find(';')));
    if (digits.empty() || digits.size() > 15) throw BadMessage(400, "malformed chunk size");
    std::size_t size = 0;
    for (char c : digits) {
      int digit = hex_digit(c);
      if (digit < 0) throw BadMessage(400, "malformed chunk size");
      size = size * 16 + static_cast<std::size_t>(digit);
    }
    if (size == 0) break;
    if (size > limit - body.size())
      throw BadMessage(413, "the body is longer than " + describe(limit));
    if (room) room->take(size);
    take(body, size);
    if (!read_line(kMaxChunkLine).empty()) throw BadMessage(400, "chunk longer than its size");
  }
  // Trailer fields, ignored, up to the empty line that ends the message.
  std::size_t trailers = 0;
  for (auto line = read_line(kMaxHead); !line.empty(); line = read_line(kMaxHead)) {
    trailers += line.size() + 2;
    if (trailers > kMaxHead)
      throw BadMessage(431, "the trailer fields are longer than " + describe(kMaxHead));
  }
}

std::string_view Reader::read_line(std::size_t limit) {
  std::size_t scanned = 0;
  for (;;) {
    std::string_view data(buffer_.data() + begin_, buffered());
    auto end = data.find("\r\n", scanned ? scanned - 1 : 0);
    if (end != npos && end <= limit) {
      begin_ += end + 2;
      return data.substr(0, end);
    }
    if (data.size() > limit + 1) throw BadMessage(400, "a line in the chunked body is too long");
    scanned = data.size();
    since_ = {};
    if (!fill(Stage::body))
      throw ConnectionLost("the connection closed in the middle of a message body");
  }
}

void Reader::take(std::string& out, std::size_t count) {
  const std::size_t buffered_part = std::min(count, buffered());
  out.append(buffer_, begin_, buffered_part);
  begin_ += buffered_part;
  count -= buffered_part;
  if (count == 0) return;
  // The rest goes straight into `out`, which grows as bytes arrive: a large body is
  // not copied twice, and a length alone does not buy memory.
  std::size_t have = out.size();
  while (count > 0) {
    if (have == out.size()) out.resize(have + std::min(count, std::max(have, kMinGrowth)));
    since_ = {};
    std::size_t got = receive(out.data() + have, out.size() - have, Stage::body);
    if (got == 0) {
      out.resize(have);
      throw ConnectionLost("the connection closed in the middle of a message body");
    }
    have += got;
    count -= got;
  }
}

bool Reader::fill(Stage stage) {
  if (begin_ == end_) begin_ = end_ = 0;
  if (buffer_.size() - end_ < kMinFree) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() - end_ < kMinFree)
      buffer_.resize(std::max(buffer_.size() * 2, std::size_t{16} << 10));
  }
  std::size_t got = receive(buffer_.data() + end_, buffer_.size() - end_, stage);
  end_ += got;
  return got > 0;
}

std::size_t Reader::receive(char* data, std::size_t size, Stage stage) {
  for (;;) {
    ssize_t got = ::recv(fd_, data, std::min(size, read_size_), 0);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      throw ConnectionLost(std::string("receiving failed: ") + std::strerror(errno));
    wait(stage, errno == EINTR ? Why::signal : Why::timed_out);
  }
}

void Reader::wait(Stage stage, Why why) {
  if (since_ == Clock::time_point{}) since_ = Clock::now();
  if (on_wait_)
    on_wait_(Waiting{stage, why, since_});
  else if (why == Why::timed_out)
    throw ConnectionLost("nothing arrived within the time limit");
}

void write_response(std::string& out, int status, std::string_view body, std::string_view headers) {
  using namespace std::literals;
  const bool has_body = status >= 200 && status != 204 && status != 304;
  out.clear();
  out.reserve(128 + headers.size() + (has_body ? body.size() : 0));
  if (status == 200) {
    out.append("HTTP/1.1 200 OK\r\n"sv);
  } else {
    out.append("HTTP/1.1 "sv);
    append_number(out, static_cast<std::size_t>(status));
    out.push_back(' ');
    out.append(reason(status));
    out.append("\r\n"sv);
  }
  if (has_body) {
    out.append(body.empty() ? "Content-Length: "sv
                            : "Content-Type: application/json\r\nContent-Length: "sv);
    append_number(out, body.size());
    out.append("\r\n"sv);
  }
  out.append(headers);
  out.append("\r\n"sv);
  if (has_body) out.append(body);
}

void write_request(std::string& out, std::string_view method, std::string_view target,
                   std::string_view host, std::string_view body) {
  using namespace std::literals;
  out.clear();
  out.reserve(128 + target.size() + host.size() + body.size());
  out.append(method);
  out.push_back(' ');
  out.append(target);
  out.append(" HTTP/1.1\r\nHost: "sv);
  out.append(host);
  if (!body.empty()) out.append("\r\nContent-Type: application/json"sv);
  out.append("\r\nContent-Length: "sv);
  append_number(out, body.size());
  out.append("\r\n\r\n"sv);
  out.append(body);
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto plain = [](unsigned char c) {
    return is_alnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
  };
  // Method names and session ids are plain throughout: copied in runs, not by byte.
  for (std::size_t at = 0; at < text.size();) {
    std::size_t run = at;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run])))
      ++run;
    out.append(text, at, run - at);
    if (run == text.size()) break;
    const auto c = static_cast<unsigned char>(text[run]);
    const char escaped[] = {'%', kHex[c >> 4], kHex[c & 15]};
    out.append(escaped, sizeof escaped);
    at = run + 1;
  }
}

bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t percent = std::min(text.find('%', at), text.size());
    out.append(text, at, percent - at);
    if (percent == text.size()) break;
    if (text.size() - percent < 3) return false;
    const int high = hex_digit(text[percent + 1]);
    const int low = hex_digit(text[percent + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    at = percent + 3;
  }
  return true;
}

}  // namespace tarvo::sim::http1
