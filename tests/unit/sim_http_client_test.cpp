// The HTTP client transport against a scripted loopback server: reconnecting after an
// idle close (and never resending), broken and silent replies, other framings, error
// replies, Ctrl-C, and names and IPv6 addresses.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/fd.hpp"
#include "core/interrupt.hpp"
#include "core/tcp.hpp"
#include "sim/http_message.hpp"
#include "sim/transport.hpp"

namespace {

namespace http1 = tarvo::sim::http1;
namespace tcp = tarvo::core::tcp;
using namespace std::chrono_literals;
using tarvo::core::Fd;
using tarvo::sim::SessionError;
using testing::HasSubstr;
using Requests = std::vector<std::string>;

class ScriptedServer;

// The server's end of one connection.
class Connection {
 public:
  Connection(Fd socket, ScriptedServer& server);
  // The next request as "METHOD target"; empty once the client closed the connection.
  std::string request();
  void send(std::string_view text) { tcp::send_all(socket_.get(), text); }
  void reply(int status, std::string_view body) {
    std::string out;
    http1::write_response(out, status, body);
    send(out);
  }
  void close() { socket_.reset(); }

 private:
  Fd socket_;
  http1::Reader reader_;
  ScriptedServer& server_;
};

// A loopback server that plays a script, one accepted connection after another,
// and records every request it reads.
class ScriptedServer {
 public:
  using Script = std::function<void(int index, Connection& connection)>;
  explicit ScriptedServer(Script script, const std::string& host = "127.0.0.1")
      : listener_(tcp::listen_on(host, 0)) {
    if (!listener_) return;
    port_ = tcp::local_port(listener_.get());
    thread_ = std::thread([this, script = std::move(script)] {
      for (int index = 0;; ++index) {
        Fd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!socket) return;
        Connection connection(std::move(socket), *this);
        try {
          script(index, connection);
        } catch (const std::exception& error) {
          ADD_FAILURE() << "the script failed: " << error.what();
        }
      }
    });
  }
  ~ScriptedServer() {
    release();
    if (listener_) ::shutdown(listener_.get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
  }
  bool listening() const { return port_ != 0; }
  int port() const { return port_; }
  Requests requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  void record(std::string request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  // For scripts that stay silent: returns when the test ends.
  void wait_released() {
    std::unique_lock lock(mutex_);
    released_cv_.wait(lock, [this] { return released_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    released_cv_.notify_all();
  }

 private:
  Fd listener_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  Requests requests_;
};

Connection::Connection(Fd socket, ScriptedServer& server)
    : socket_(std::move(socket)), reader_(socket_.get()), server_(server) {
  tcp::set_receive_timeout(socket_.get(), 30s);  // a test that goes wrong fails, not hangs
}

std::string Connection::request() {
  http1::RequestHead head;
  std::string body;
  try {
    if (!reader_.read(head)) return "";
  } catch (const http1::ConnectionLost&) {
    return "";
  }
  reader_.read_body(head.framing, body);
  server_.record(head.method + " " + head.target);
  return head.method + " " + head.target;
}

std::unique_ptr<tarvo::sim::Transport> client(const ScriptedServer& server,
                                              const tarvo::sim::ClientOptions& options = {},
                                              const std::string& host = "127.0.0.1") {
  return tarvo::sim::make_http_transport(host, server.port(), options);
}

void open_session(Connection& connection) {
  EXPECT_EQ(connection.request(), "POST /sessions");
  connection.reply(200, R"({"session": "ab12"})");
}

TEST(SimHttpClient, ReconnectsOnceWhenTheServerClosedAnIdleConnection) {
  std::promise<void> dropped;
  ScriptedServer server([&](int index, Connection& connection) {
    if (index == 0) {
      open_session(connection);
      EXPECT_EQ(connection.request(), "POST /sessions/ab12/reset");
      connection.reply(200, R"({"result": 1})");
      connection.close();  // as a server does with a connection idle too long
      dropped.set_value();
    } else {
      for (auto request = connection.request(); !request.empty(); request = connection.request())
        connection.reply(request.starts_with("DELETE") ? 204 : 200, R"({"result": 2})");
    }
  });
  auto transport = client(server);
  EXPECT_EQ(transport->call("reset", "{}"), R"({"result": 1})");
  dropped.get_future().wait();
  // Servers drop only connections left idle for a while; the client looks before
  // reusing one that has been idle (but not one that answered a moment ago).
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(transport->call("step", "{}"), R"({"result": 2})");
  EXPECT_EQ(transport->call("step", "{}"), R"({"result": 2})");
  transport.reset();  // ends the session
  EXPECT_EQ(server.requests(),
            (Requests{"POST /sessions", "POST /sessions/ab12/reset", "POST /sessions/ab12/step",
                      "POST /sessions/ab12/step", "DELETE /sessions/ab12"}));
}

TEST(SimHttpClient, ARequestThatWasSentIsNeverSentAgain) {
  ScriptedServer server([&](int index, Connection& connection) {
    if (index == 0) {
      open_session(connection);
      connection.request();
      connection.close();  // the step may or may not have happened: only the server knows
    } else {
      while (!connection.request().empty()) {
      }
    }
  });
  auto transport = client(server);
  try {
    transport->call("step", "{}");
    FAIL() << "no error";
  } catch (const SessionError& error) {
    EXPECT_THAT(error.what(), HasSubstr("cannot reach the simulator server at 127.0.0.1:" +
                                        std::to_string(server.port()) + ": "));
  }
  EXPECT_THROW(transport->call("step", "{}"), SessionError);
  transport.reset();
  EXPECT_EQ(server.requests(), (Requests{"POST /sessions", "POST /sessions/ab12/step"}));
}

TEST(SimHttpClient, AReplyCutShortIsAnErrorNotAHang) {
  const std::pair<const char*, const char*> cuts[] = {
      {"HTTP/1.1 200 OK\r\nContent-Le", "closed in the middle of a message head"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"result\"",
       "closed in the middle of a message body"},
      {"SSH-2.0-OpenSSH_9.2\r\n\r\n", "not an HTTP/1.x reply"},
  };
  for (const auto& [reply, message] : cuts) {
    SCOPED_TRACE(message);
    ScriptedServer server([&, reply = reply](int index, Connection& connection) {
      if (index > 0) return;
      open_session(connection);
      connection.request();
      connection.send(reply);
    });
    auto transport = client(server);
    try {
      transport->call("step", "{}");
      ADD_FAILURE() << "no error";
    } catch (const SessionError& error) {
      EXPECT_THAT(error.what(), HasSubstr(message));
    }
  }
}

TEST(SimHttpClient, ASilentServerIsATimeOut) {
  ScriptedServer server([&](int index, Connection& connection) {
    if (index > 0) return;
    open_session(connection);
    connection.request();
    server.wait_released();
  });
  tarvo::sim::ClientOptions options;
  options.call_timeout = 100ms;
  auto transport = client(server, options);
  try {
    transport->call("step", "{}");
    FAIL() << "no error";
  } catch (const SessionError& error) {
    EXPECT_EQ(std::string(error.what()), "no reply from the simulator server at 127.0.0.1:" +
                                             std::to_string(server.port()) + " in time");
  }
}

TEST(SimHttpClient, ReadsChunkedAndUnsizedRepliesAndHonoursConnectionClose) {
  ScriptedServer server([&](int index, Connection& connection) {
    if (index == 0) {
      EXPECT_EQ(connection.request(), "POST /sessions");
      connection.send(
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
          "6\r\n{\"sess\r\nd\r\nion\": \"ab12\"}\r\n0\r\n\r\n");
      connection.request();
      connection.send("HTTP/1.0 200 OK\r\n\r\n{\"result\": 3}");  // ends with the connection
    } else if (index == 1) {
      connection.request();
      connection.send("HTTP/1.1 100 Continue\r\n\r\n");
      connection.send(
          "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 13\r\n\r\n"
          "{\"result\": 4}");
    } else {
      EXPECT_EQ(connection.request(), "DELETE /sessions/ab12");
      connection.reply(204, "");
    }
  });
  auto transport = client(server);
  EXPECT_EQ(transport->call("step", "{}"), R"({"result": 3})");
  EXPECT_EQ(transport->call("step", "{}"), R"({"result": 4})");
  transport.reset();
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST(SimHttpClient, ErrorRepliesKeepTheirMeaning) {
  struct Case {
    int status;
    const char* body;
    const char* message;
    bool deleted;  // whether the session is still there to be ended
  };
  const Case cases[] = {
      {404, R"j({"error": "no such session (it ended or never existed)"})j",
       "no such session (it ended or never existed)", false},
      {502, R"({"error": "the simulator ended without replying"})",
       "the simulator ended without replying", false},
      {500, "oops", "answered HTTP 500", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ScriptedServer server([&](int index, Connection& connection) {
      if (index > 0) return;
      open_session(connection);
      connection.request();
      connection.reply(c.status, c.body);
      for (auto request = connection.request(); !request.empty(); request = connection.request())
        connection.reply(204, "");
    });
    auto transport = client(server);
    try {
      transport->call("step", "{}");
      ADD_FAILURE() << "no error";
    } catch (const SessionError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
    EXPECT_THROW(transport->call("step", "{}"), SessionError);
    transport.reset();
    EXPECT_EQ(server.requests().back() == "DELETE /sessions/ab12", c.deleted);
  }
  ScriptedServer other([&](int, Connection& connection) {
    connection.request();
    connection.reply(200, "<html>welcome</html>");
  });
  try {
    client(other)->call("make", "{}");
    FAIL() << "no error";
  } catch (const SessionError& error) {
    EXPECT_THAT(error.what(), HasSubstr("is not a simulator server"));
  }
}

TEST(SimHttpClient, CtrlCEndsAWaitingCallAndTheSessionIsStillEnded) {
  namespace interrupt = tarvo::core::interrupt;
  interrupt::install();
  interrupt::clear();
  std::promise<void> asked;
  ScriptedServer server([&](int index, Connection& connection) {
    if (index == 0) {
      open_session(connection);
      connection.request();
      asked.set_value();
      connection.request();  // returns once the client lets go of the connection
    } else {
      EXPECT_EQ(connection.request(), "DELETE /sessions/ab12");
      connection.reply(204, "");
    }
  });
  auto transport = client(server);
  std::atomic<bool> returned{false};
  const pthread_t caller = pthread_self();
  // The signal goes to the waiting thread, again until the call returns: one sent just
  // before the wait began would be missed.
  std::thread interrupter([&] {
    asked.get_future().wait();
    while (!returned) {
      pthread_kill(caller, SIGINT);
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_THROW(transport->call("step", "{}"), tarvo::core::Interrupted);
  returned = true;
  interrupter.join();
  transport.reset();  // the interrupt is still pending: the session is ended all the same
  interrupt::clear();
  EXPECT_EQ(server.requests().back(), "DELETE /sessions/ab12");
}

TEST(SimHttpClient, ReachesHostNamesAndIPv6Addresses) {
  for (const char* host : {"localhost", "::1"}) {
    SCOPED_TRACE(host);
    ScriptedServer server(
        [&](int, Connection& connection) {
          open_session(connection);
          for (auto request = connection.request(); !request.empty();
               request = connection.request())
            connection.reply(200, R"({"result": 5})");
        },
        host);
    if (!server.listening()) {
      std::printf("%s cannot be served here: skipped\n", host);
      continue;
    }
    EXPECT_EQ(client(server, {}, host)->call("step", "{}"), R"({"result": 5})");
  }
}

}  // namespace
