// HTTP/1.1 framing shared by the simulator server and client: heads, bodies however
// the bytes arrive, the limits, and messages written whole.
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/fd.hpp"
#include "core/tcp.hpp"
#include "sim/http_message.hpp"

namespace {

namespace http1 = tarvo::sim::http1;
using tarvo::core::Fd;
using Body = http1::Framing::Body;

// What is sent on `peer` is read from `local`.
struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    local.reset(fds[0]);
    peer.reset(fds[1]);
  }
  // From a thread of its own, so that more than the socket buffer holds can be sent.
  std::thread send_later(std::string text) {
    return std::thread([this, text = std::move(text)] {
      tarvo::core::tcp::send_all(peer.get(), text);
      peer.reset();
    });
  }
  void send(std::string_view text) { ASSERT_TRUE(tarvo::core::tcp::send_all(peer.get(), text)); }
  Fd local;
  Fd peer;
};

int status_of_request(const std::string& head) {
  http1::RequestHead parsed;
  try {
    http1::parse_request_head(head, parsed);
  } catch (const http1::BadMessage& error) {
    return error.status();
  }
  return 0;
}

TEST(HttpMessage, RequestHeadsSayHowTheBodyEndsAndWhetherTheConnectionStays) {
  struct Case {
    const char* head;
    Body body;
    std::size_t length;
    bool keep_alive;
    bool expect_continue;
  };
  const Case cases[] = {
      {"POST /sessions HTTP/1.1\r\nHost: x\r\ncontent-LENGTH:  12 ", Body::length, 12, true, false},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3", Body::length, 3, true, false},
      {"POST / HTTP/1.1\r\nContent-Length: 0", Body::none, 0, true, false},
      {"DELETE /sessions/ab HTTP/1.1", Body::none, 0, true, false},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: Chunked", Body::chunked, 0, true, false},
      {"POST / HTTP/1.1\r\nConnection: Upgrade, close", Body::none, 0, false, false},
      {"POST / HTTP/1.0", Body::none, 0, false, false},
      {"POST / HTTP/1.0\r\nConnection: keep-alive", Body::none, 0, true, false},
      {"POST / HTTP/1.1\r\nEXPECT: 100-Continue\r\nContent-Length: 5", Body::length, 5, true, true},
      // Only HTTP/1.1 clients wait for "100 Continue".
      {"POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5", Body::length, 5, false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    http1::RequestHead head;
    ASSERT_NO_THROW(http1::parse_request_head(c.head, head));
    EXPECT_EQ(head.framing.body, c.body);
    EXPECT_EQ(head.framing.length, c.length);
    EXPECT_EQ(head.framing.keep_alive, c.keep_alive);
    EXPECT_EQ(head.expect_continue, c.expect_continue);
  }
  http1::RequestHead head;
  http1::parse_request_head("DELETE /sessions/ab?x=1 HTTP/1.1", head);
  EXPECT_EQ(head.method, "DELETE");
  EXPECT_EQ(head.target, "/sessions/ab?x=1");
}

TEST(HttpMessage, MalformedAndOversizedRequestHeadsGetTheirStatus) {
  const std::string post = "POST / HTTP/1.1\r\n";
  const std::pair<std::string, int> cases[] = {
      {post + "Content-Length: abc", 400},
      {post + "Content-Length: -1", 400},
      {post + "Content-Length: +1", 400},
      {post + "Content-Length: 1, 1", 400},
      {post + "Content-Length:", 400},
      {post + "Content-Length: 99999999999999999999", 400},
      {post + "Content-Length: 3\r\nContent-Length: 4", 400},
      {post + "Content-Length: 67108865", 413},
      {post + "Content-Length: 67108864", 0},
      {post + "Transfer-Encoding: gzip", 501},
      {post + "Transfer-Encoding: gzip, chunked", 501},
      {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked", 501},
      {post + "Transfer-Encoding: chunked\r\nContent-Length: 3", 400},
      {post + "Host: a\r\n folded", 400},
      {post + "Bad Name: x", 400},
      {post + "NoColon", 400},
      {post + ": empty name", 400},
      {post + "X: a\x01z", 400},
      {post + "X: a\rb", 400},
      {post + "X: a\nb", 400},
      {post + "X: a\r", 400},
      {post + "X: \x7f", 400},
      {post + "Na\nme: x", 400},
      {post + "X:\t spaced \t\r\nEmpty:\r\nContent-Length:\t3\t", 0},
      {"POST / HTTP/2.0", 505},
      {"POST /", 400},
      {"POST  / HTTP/1.1", 400},
      {"POST / HTTP/1.1 extra", 400},
      {"POST /a\x7f HTTP/1.1", 400},
      {"\"bad\" / HTTP/1.1", 400},
      {"", 400},
  };
  for (const auto& [head, status] : cases)
    EXPECT_EQ(status_of_request(head), status) << head;
}

TEST(HttpMessage, ResponseHeadsAndTheirBodies) {
  struct Case {
    const char* head;
    int status;
    Body body;
    bool keep_alive;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 3", 200, Body::length, true},
      {"HTTP/1.1 200\r\nContent-Length: 0", 200, Body::none, true},
      {"HTTP/1.1 204 No Content", 204, Body::none, true},
      {"HTTP/1.1 100 Continue", 100, Body::none, true},
      {"HTTP/1.1 502 Bad Gateway\r\nTransfer-Encoding: chunked", 502, Body::chunked, true},
      // Neither length nor chunks: the body runs to the end of the connection.
      {"HTTP/1.1 200 OK", 200, Body::until_close, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2", 200, Body::length, false},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2", 200, Body::length, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    http1::ResponseHead head;
    ASSERT_NO_THROW(http1::parse_response_head(c.head, head));
    EXPECT_EQ(head.status, c.status);
    EXPECT_EQ(head.framing.body, c.body);
    EXPECT_EQ(head.framing.keep_alive, c.keep_alive);
  }
  for (const char* bad :
       {"SSH-2.0-OpenSSH_9.2", "HTTP/1.1 2x0 OK", "HTTP/1.1 200OK", "HTTP/1.1 099", "HTTP/2 200",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: br"}) {
    http1::ResponseHead head;
    EXPECT_THROW(http1::parse_response_head(bad, head), http1::BadMessage) << bad;
  }
}

TEST(HttpReader, ReadsMessagesHoweverTheBytesArrive) {
  // Requests back to back: a stray empty line, a sized body, a chunked body with an
  // extension and a trailer, one without a body, and one larger than any buffer.
  const std::string large(300'000, 'x');
  const std::string stream =
      "\r\nPOST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
      "POST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3;x=y\r\nabc\r\nA\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n"
      "DELETE /c HTTP/1.1\r\n\r\n"
      "POST /d HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" +
      large;
  for (std::size_t read_size : {std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
    SCOPED_TRACE(read_size);
    SocketPair pair;
    auto sender = pair.send_later(stream);
    http1::Reader reader(pair.local.get(), {}, read_size);
    http1::RequestHead head;
    std::string body;
    ASSERT_TRUE(reader.read(head));
    reader.read_body(head.framing, body);
    EXPECT_EQ(head.target, "/a");
    EXPECT_EQ(body, "hello");
    ASSERT_TRUE(reader.read(head));
    reader.read_body(head.framing, body);
    EXPECT_EQ(head.target, "/b");
    EXPECT_EQ(body, "abc0123456789");
    ASSERT_TRUE(reader.read(head));
    reader.read_body(head.framing, body);
    EXPECT_EQ(head.method, "DELETE");
    EXPECT_EQ(body, "");
    ASSERT_TRUE(reader.read(head));
    reader.read_body(head.framing, body);
    EXPECT_TRUE(body == large);
    EXPECT_FALSE(reader.read(head));  // the peer closed between messages
    sender.join();
  }
}

TEST(HttpReader, AConnectionClosedMidMessageIsLost) {
  const std::pair<const char*, const char*> cases[] = {
      {"POST /a HTTP/1.1\r\nContent-Le", "head"},
      {"POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "body"},
      {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", "chunk"},
      {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", "last chunk"},
  };
  for (const auto& [stream, what] : cases) {
    SCOPED_TRACE(what);
    SocketPair pair;
    pair.send(stream);
    pair.peer.reset();
    http1::Reader reader(pair.local.get());
    http1::RequestHead head;
    std::string body;
    EXPECT_THROW(reader.read(head) && (reader.read_body(head.framing, body), true),
                 http1::ConnectionLost);
  }
  // A reply that runs to the end of the connection ends well there.
  SocketPair pair;
  pair.send("HTTP/1.1 200 OK\r\n\r\n{\"result\": 1}");
  pair.peer.reset();
  http1::Reader reader(pair.local.get(), {}, 3);
  http1::ResponseHead head;
  std::string body;
  ASSERT_TRUE(reader.read(head));
  reader.read_body(head.framing, body);
  EXPECT_EQ(body, "{\"result\": 1}");
}

TEST(HttpReader, LimitsHeadsBodiesAndChunks) {
  auto status = [](const std::string& stream, std::size_t limit) {
    SocketPair pair;
    auto sender = pair.send_later(stream);
    http1::Reader reader(pair.local.get());
    int answer = 0;
    try {
      http1::RequestHead head;
      std::string body;
      if (reader.read(head)) reader.read_body(head.framing, body, limit);
    } catch (const http1::BadMessage& error) {
      answer = error.status();
    }
    pair.local.reset();  // the sender may still be blocked
    sender.join();
    return answer;
  };
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string long_head = "POST / HTTP/1.1\r\n";
  while (long_head.size() <= http1::kMaxHead + 100)
    long_head += "X-Filler: " + std::string(100, 'x') + "\r\n";
  EXPECT_EQ(status(long_head, http1::kMaxBody), 431);
  EXPECT_EQ(status(long_head + "\r\n", http1::kMaxBody), 431);
  EXPECT_EQ(status("POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", 16), 413);
  EXPECT_EQ(status(chunked + "10\r\n0123456789abcdef\r\n1\r\nx\r\n0\r\n\r\n", 16), 413);
  EXPECT_EQ(status(chunked + "10\r\n0123456789abcdef\r\n0\r\n\r\n", 16), 0);
  EXPECT_EQ(status(chunked + "zz\r\n", 16), 400);
  EXPECT_EQ(status(chunked + "\r\n", 16), 400);
  EXPECT_EQ(status(chunked + "ffffffffffffffffff\r\n", 16), 400);
  EXPECT_EQ(status(chunked + "2\r\nabc\r\n0\r\n\r\n", 16), 400);
  EXPECT_EQ(status(chunked + std::string(2000, '1') + "\r\n", 16), 400);
}

TEST(HttpReader, AsksItsOwnerWhetherToGoOnWaiting) {
  SocketPair pair;
  tarvo::core::tcp::set_receive_timeout(pair.local.get(), std::chrono::milliseconds(10));
  struct GiveUp {};
  std::vector<http1::Waiting> waits;
  http1::Reader reader(pair.local.get(), [&](const http1::Waiting& waiting) {
    waits.push_back(waiting);
    if (waits.size() == 3) throw GiveUp{};
  });
  http1::RequestHead head;
  EXPECT_THROW(reader.read(head), GiveUp);
  ASSERT_EQ(waits.size(), 3u);
  for (const auto& waiting : waits) {
    EXPECT_EQ(waiting.stage, http1::Stage::idle);
    EXPECT_EQ(waiting.why, http1::Why::timed_out);
    EXPECT_EQ(waiting.since, waits.front().since);  // one wait, counted from its start
  }

  // Part of a head: the owner hears of it at once, and the head's own time starts.
  waits.clear();
  pair.send("POST / HT");
  EXPECT_THROW(reader.read(head), GiveUp);
  ASSERT_EQ(waits.size(), 3u);
  EXPECT_EQ(waits[0].why, http1::Why::partial);
  for (const auto& waiting : waits) {
    EXPECT_EQ(waiting.stage, http1::Stage::head);
    EXPECT_EQ(waiting.since, waits.front().since);
  }
  // The rest arrives: the head is read whole, bytes kept from before.
  pair.send("TP/1.1\r\nContent-Length: 2\r\n\r\nok");
  waits.clear();
  ASSERT_TRUE(reader.read(head));
  std::string body;
  reader.read_body(head.framing, body);
  EXPECT_EQ(body, "ok");

  // Without an owner, a time-out loses the connection.
  http1::Reader plain(pair.local.get());
  EXPECT_THROW(plain.read(head), http1::ConnectionLost);
}

TEST(HttpMessage, WrittenMessagesReadBackWhole) {
  SocketPair pair;
  std::string out;
  http1::write_request(out, "POST", "/sessions/ab/step", "host:1", R"({"action":1})");
  pair.send(out);
  http1::write_response(out, 200, R"({"result":null})", "Connection: close\r\n");
  pair.send(out);
  http1::write_response(out, 204, "ignored");
  pair.send(out);
  http1::write_response(out, 404, "");
  pair.send(out);
  EXPECT_EQ(out, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  pair.peer.reset();

  http1::Reader reader(pair.local.get());
  std::string body;
  http1::RequestHead request;
  ASSERT_TRUE(reader.read(request));
  reader.read_body(request.framing, body);
  EXPECT_EQ(request.target, "/sessions/ab/step");
  EXPECT_EQ(body, R"({"action":1})");
  http1::ResponseHead response;
  ASSERT_TRUE(reader.read(response));
  reader.read_body(response.framing, body);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(body, R"({"result":null})");
  EXPECT_FALSE(response.framing.keep_alive);
  ASSERT_TRUE(reader.read(response));
  reader.read_body(response.framing, body);
  EXPECT_EQ(response.status, 204);
  EXPECT_EQ(body, "");
  ASSERT_TRUE(reader.read(response));
  EXPECT_EQ(response.status, 404);
  reader.read_body(response.framing, body);
  EXPECT_FALSE(reader.read(response));
}

TEST(HttpMessage, PathSegmentsEscapeAnyTextAndBack) {
  std::string escaped;
  http1::append_escaped(escaped, "step\",x/y z~");
  EXPECT_EQ(escaped, "step%22%2Cx%2Fy%20z~");
  std::string every_byte;
  for (int c = 0; c < 256; ++c)
    every_byte += static_cast<char>(c);
  escaped.clear();
  http1::append_escaped(escaped, every_byte);
  std::string back;
  ASSERT_TRUE(http1::unescape(escaped, back));
  EXPECT_EQ(back, every_byte);
  for (const char* bad : {"%", "a%4", "%zz", "%4g"})
    EXPECT_FALSE(http1::unescape(bad, back)) << bad;
  // Runs of plain text between escapes, and escapes at either end.
  ASSERT_TRUE(http1::unescape("%41bc%20de%7E", back));
  EXPECT_EQ(back, "Abc de~");
}

}  // namespace
