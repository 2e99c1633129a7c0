#pragma once
// HTTP spoken to the simulator server byte for byte, as a hostile or careless client
// would: the HTTP front end served on loopback with limits of the test's choosing, and
// one raw connection to it.
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/fd.hpp"
#include "core/tcp.hpp"
#include "sim/http_message.hpp"
#include "sim/http_server.hpp"
#include "sim_test_support.hpp"

namespace tarvo::test {

// The reference simulator (or the given setup's) behind the HTTP front end.
class RawServed {
 public:
  explicit RawServed(const sim::HttpLimits& limits = {}, sim::SessionSetup setup = reference()) {
    server_ =
        sim::make_http_server(std::move(setup), "127.0.0.1", 0, std::chrono::minutes(10), limits);
    server_->listen();
    thread_ = std::thread([this] { server_->start(); });
  }
  ~RawServed() {
    stop();
    thread_.join();
  }
  RawServed(const RawServed&) = delete;
  RawServed& operator=(const RawServed&) = delete;

  void stop() { server_->stop(); }
  int port() const { return server_->port(); }

  static sim::SessionSetup reference() {
    sim::SessionSetup setup;
    setup.dir = example_dir("cpp-sim");
    setup.command = {"./cartpole"};
    setup.log_name = "test";
    setup.announce = false;
    return setup;
  }

 private:
  std::unique_ptr<sim::Server> server_;
  std::thread thread_;
};

struct Reply {
  int status = 0;
  bool keep_alive = false;
  std::string body;
};

// One connection, spoken to byte for byte. Every wait is bounded, so that a server
// that fails to answer fails the test rather than hanging it.
class Raw {
 public:
  explicit Raw(int port)
      : socket_(core::tcp::connect_to("127.0.0.1", port, std::chrono::seconds(5))),
        reader_(socket_.get()) {
    core::tcp::set_receive_timeout(socket_.get(), std::chrono::seconds(30));
  }
  bool send(std::string_view text) { return core::tcp::send_all(socket_.get(), text); }
  Reply reply() {
    sim::http1::ResponseHead head;
    Reply reply;
    if (!reader_.read(head)) throw sim::http1::ConnectionLost("closed");
    reader_.read_body(head.framing, reply.body);
    reply.status = head.status;
    reply.keep_alive = head.framing.keep_alive;
    return reply;
  }
  // Whether the server closed the connection (rather than answering or staying silent).
  bool closed() {
    char byte;
    if (reader_.buffered() > 0) return false;
    ssize_t got = ::recv(socket_.get(), &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
  }
  int fd() const { return socket_.get(); }

 private:
  core::Fd socket_;
  sim::http1::Reader reader_;
};

inline std::string post(const std::string& target, const std::string& body,
                        const std::string& headers = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: t\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string open_session(Raw& raw) {
  EXPECT_TRUE(raw.send(post("/sessions", "{}")));
  auto reply = raw.reply();
  EXPECT_EQ(reply.status, 200) << reply.body;
  if (reply.status != 200) return "/sessions/none";
  return "/sessions/" + nlohmann::json::parse(reply.body)["session"].get<std::string>();
}

}  // namespace tarvo::test
