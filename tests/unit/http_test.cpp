// The HTTP client against servers on loopback: replies, time-outs of both kinds,
// refused connections, the Unix-socket transport, multipart uploads and Ctrl-C.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "core/fd.hpp"
#include "core/http.hpp"
#include "core/interrupt.hpp"
#include "core/process.hpp"
#include "scoped.hpp"

using testing::HasSubstr;

namespace tarvo::core::http {
namespace {

// A cpp-httplib server on 127.0.0.1, on a port of the kernel's choosing. Handlers
// that must stall wait on `release`, which the destructor signals so that the
// server stops promptly.
class LoopbackServer {
 public:
  LoopbackServer() {
    port_ = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackServer() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_all();
    server.stop();
    thread_.join();
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void stall(std::chrono::seconds at_most) {
    std::unique_lock lock(mutex_);
    released_cv_.wait_for(lock, at_most, [this] { return released_; });
  }

  httplib::Server server;

 private:
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
};

// A TCP port on loopback that nothing listens on.
int closed_port() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

TEST(HttpClient, RepliesOfAnyStatusWithHeadersAndBodies) {
  LoopbackServer loopback;
  std::vector<int> client_ports;
  loopback.server.Get("/text", [&](const httplib::Request& req, httplib::Response& res) {
    client_ports.push_back(req.remote_port);
    res.status = 404;
    res.set_content("[x] not found", "text/plain");
    res.set_header("X-Auth-Seen", req.get_header_value("Authorization"));
  });
  loopback.server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.status = 201;
    res.set_content(req.body, req.get_header_value("Content-Type").c_str());
  });
  loopback.server.Delete("/thing", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(R"({"deleted": ")" + req.get_header_value("Accept") + "\"}",
                    "application/json");
  });

  Client client;
  client.set_default_header("Authorization", "Bearer one");
  client.set_default_header("authorization", "Bearer two");  // replaces, names are case-blind

  auto text = client.get(loopback.url("/text"), 5);
  EXPECT_EQ(text.status, 404);
  EXPECT_EQ(text.body, "[x] not found");
  EXPECT_EQ(text.content_type, "text/plain");
  EXPECT_THAT([&] { (void)text.json(); },
              testing::ThrowsMessage<ClientError>(HasSubstr("status 404): not valid JSON")));

  nlohmann::ordered_json sent = {{"zeta", 1}, {"alpha", {{"nested", "ü"}}}};
  auto echoed = client.post_json(loopback.url("/echo"), sent, 5);
  EXPECT_EQ(echoed.status, 201);
  EXPECT_EQ(echoed.json(), sent);
  EXPECT_EQ(echoed.json().begin().key(), "zeta");

  auto deleted = client.del(loopback.url("/thing"), 5);
  EXPECT_EQ(deleted.json()["deleted"], "application/json");

  // The connection is kept alive between requests of one client.
  (void)client.get(loopback.url("/text"), 5);
  ASSERT_EQ(client_ports.size(), 2u);
  EXPECT_EQ(client_ports[0], client_ports[1]);
}

TEST(HttpClient, StreamsTheReplyAndStopsWhenTheReaderSaysSo) {
  LoopbackServer loopback;
  loopback.server.Get("/lines", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
      const std::string line = "line " + std::to_string(offset) + "\n";
      sink.write(line.data(), line.size());
      if (offset > 1'000'000) sink.done();
      return true;
    });
  });
  Client client;
  Request request;
  request.url = loopback.url("/lines");
  std::string seen;
  request.on_data = [&](std::string_view chunk) {
    seen.append(chunk);
    return seen.size() < 100;
  };
  auto response = client.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  EXPECT_THAT(seen, testing::StartsWith("line 0\nline 7\n"));
  EXPECT_LT(seen.size(), 1'000'000u);
}

TEST(HttpClient, TimeOutsAreTheirOwnKindAndSayWhichExpired) {
  LoopbackServer loopback;
  loopback.server.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    loopback.stall(std::chrono::seconds(10));
    res.set_content("late", "text/plain");
  });
  Client client;
  Request request;
  request.url = loopback.url("/slow");
  request.timeout_seconds = 0.3;
  request.connect_timeout_seconds = 5;
  EXPECT_THAT([&] { client.send(request); },
              testing::ThrowsMessage<TimeoutError>("request timed out after 0.3 s"));
}

TEST(HttpClient, ConnectTimeOutWhenTheListenQueueIsFull) {
  // With a backlog of 0 the kernel queues one unaccepted connection and drops the
  // handshakes of the next ones, so they hang until the client gives up.
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);

  std::vector<Fd> fillers;
  bool queue_full = false;
  for (int i = 0; i < 16 && !queue_full; ++i) {
    Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd wait{filler.get(), POLLOUT, 0};
    queue_full = ::poll(&wait, 1, 200) == 0;
    fillers.push_back(std::move(filler));
  }
  if (!queue_full) GTEST_SKIP() << "this kernel completes handshakes beyond the listen backlog";

  Client client;
  Request request;
  request.url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  request.timeout_seconds = 10;
  request.connect_timeout_seconds = 0.4;
  EXPECT_THAT([&] { client.send(request); },
              testing::ThrowsMessage<TimeoutError>("connection timed out after 0.4 s"));
}

TEST(HttpClient, TransportFailuresAreClientErrorsWithCurlsReason) {
  Client client;
  const std::string refused = "http://127.0.0.1:" + std::to_string(closed_port()) + "/";
  try {
    client.get(refused, 5);
    FAIL() << "no error for a refused connection";
  } catch (const TimeoutError& e) {
    FAIL() << "a refused connection reported as a time-out: " << e.what();
  } catch (const ClientError& e) {
    EXPECT_THAT(e.what(), HasSubstr("onnect")) << e.what();
  }
  // Only HTTP(S): a file URL must not read local files.
  EXPECT_THROW(client.get("file:///etc/passwd"), ClientError);
  EXPECT_THROW(client.get("http://[::1"), ClientError);
}

// A one-shot HTTP server on a Unix socket, like the Docker engine's.
class UnixSocketServer {
 public:
  explicit UnixSocketServer(std::filesystem::path path) : path_(std::move(path)) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 4) != 0)
      throw std::runtime_error("cannot listen on " + path_.string());
    thread_ = std::thread([this] { serve_one(); });
  }
  ~UnixSocketServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
    std::filesystem::remove(path_);
  }
  std::string request_head;

 private:
  void serve_one() {
    Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) return;
    char buffer[4096];
    while (request_head.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::read(connection.get(), buffer, sizeof buffer);
      if (n <= 0) return;
      request_head.append(buffer, static_cast<size_t>(n));
    }
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
        "Connection: close\r\n\r\nOK";
    [[maybe_unused]] auto written = ::write(connection.get(), reply.data(), reply.size());
  }
  std::filesystem::path path_;
  Fd listener_;
  std::thread thread_;
};

TEST(HttpClient, TalksHttpOverAUnixSocket) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("tarvo-http-" + std::to_string(::getpid()) + ".sock");
  std::string head;
  {
    UnixSocketServer server(path);
    Client client(ClientOptions{.unix_socket = path.string()});
    auto response = client.get("http://localhost/v1.43/_ping", 5);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "OK");
    head = server.request_head;
  }
  EXPECT_THAT(head, testing::StartsWith("GET /v1.43/_ping HTTP/1.1\r\n"));
}

TEST(HttpClient, MultipartUploadArrivesIntactWithProgress) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("tarvo-upload-" + std::to_string(::getpid()) + ".bin");
  std::string content(300'000, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 7 % 251);
  std::ofstream(file, std::ios::binary) << content;

  LoopbackServer loopback;
  httplib::MultipartFormDataMap received;
  loopback.server.Post("/upload", [&](const httplib::Request& req, httplib::Response& res) {
    received = req.files;
    res.set_content("{}", "application/json");
  });

  Client client;
  Request request;
  request.method = "POST";
  request.url = loopback.url("/upload");
  request.multipart = {
      {.name = "name", .value = "my-sim", .file_path = {}, .content_type = {}},
      {.name = "archive",
       .value = "my-sim.tar.gz",
       .file_path = file.string(),
       .content_type = "application/gzip"},
  };
  std::uint64_t last_sent = 0, last_total = 0;
  request.on_upload_progress = [&](std::uint64_t sent, std::uint64_t total) {
    last_sent = sent;
    last_total = total;
  };
  EXPECT_EQ(client.send(request).status, 200);
  std::filesystem::remove(file);

  ASSERT_EQ(received.count("archive"), 1u);
  EXPECT_EQ(received.find("name")->second.content, "my-sim");
  const auto& archive = received.find("archive")->second;
  EXPECT_EQ(archive.filename, "my-sim.tar.gz");
  EXPECT_EQ(archive.content_type, "application/gzip");
  EXPECT_TRUE(archive.content == content);
  EXPECT_GT(last_total, content.size());
  EXPECT_EQ(last_sent, last_total);

  request.multipart[1].file_path = "/nonexistent/archive.tar.gz";
  EXPECT_THAT([&] { client.send(request); },
              testing::ThrowsMessage<ClientError>(HasSubstr("/nonexistent/archive.tar.gz")));
}

// `openssl s_server` on loopback with a fresh self-signed certificate, stopped with
// the object; skipped where the openssl program is missing.
class TlsServer {
 public:
  explicit TlsServer(const std::filesystem::path& dir) : dir_(dir), port_(closed_port()) {
    const auto made = process::run(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", (dir / "key.pem").string(), "-out", certificate().string(), "-subj",
         "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1"},
        quiet());
    if (made.exit_code != 0) throw std::runtime_error("openssl req failed: " + made.err);
    thread_ = std::thread([this] {
      process::run({"sh", "-c", "echo $$ > \"$0\"; exec \"$@\"", (dir_ / "pid").string(), "openssl",
                    "s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(port_),
                    "-cert", certificate().string(), "-key", (dir_ / "key.pem").string()},
                   quiet());
    });
    for (int i = 0; i < 500 && !accepts(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~TlsServer() {
    for (int i = 0; i < 500 && read_pid() <= 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const pid_t pid = read_pid(); pid > 0) ::kill(pid, SIGTERM);
    thread_.join();
  }
  std::filesystem::path certificate() const { return dir_ / "cert.pem"; }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  static process::Options quiet() {
    process::Options options;
    options.out = process::Stream::discard;
    options.err = process::Stream::capture;
    options.input = "";
    return options;
  }
  pid_t read_pid() const {
    std::ifstream in(dir_ / "pid");
    pid_t pid = 0;
    in >> pid;
    return pid;
  }
  bool accepts() const {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  std::filesystem::path dir_;
  int port_;
  std::thread thread_;
};

TEST(HttpClient, TlsIsVerifiedAgainstTheSystemStoreOrSslCertFile) {
  if (!process::find_program("openssl")) GTEST_SKIP() << "the openssl program is not installed";
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvo-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    TlsServer server(dir);
    Client system_store(ClientOptions{.tls = TlsSettings{}, .unix_socket = {}});
    try {
      system_store.get(server.url(), 10);
      ADD_FAILURE() << "a self-signed certificate was accepted";
    } catch (const TimeoutError& e) {
      ADD_FAILURE() << e.what();
    } catch (const ClientError& e) {
      EXPECT_THAT(e.what(), HasSubstr("certificate"));
    }

    test::ScopedEnv bundle("SSL_CERT_FILE", server.certificate().string());
    EXPECT_EQ(default_tls().ca_file, server.certificate().string());
    Client trusting;  // picks SSL_CERT_FILE up through default_tls()
    EXPECT_EQ(trusting.get(server.url(), 10).status, 200);
  }
  std::filesystem::remove_all(dir);
}

TEST(HttpClient, CtrlCAbortsATransfer) {
  LoopbackServer loopback;
  loopback.server.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    loopback.stall(std::chrono::seconds(10));
    res.set_content("late", "text/plain");
  });
  interrupt::install();
  interrupt::clear();
  std::thread user([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(::getpid(), SIGINT);
  });
  Client client;
  EXPECT_THROW(client.get(loopback.url("/slow"), 8), Interrupted);
  user.join();
  interrupt::clear();
}

// A request whose outcome the caller must know (it creates or removes something
// remote) is neither prevented nor cut short by an interrupt: the reply arrives
// and the interrupt stays pending for the caller.
TEST(HttpClient, AnUninterruptibleRequestGetsItsReplyDespiteAnInterrupt) {
  LoopbackServer loopback;
  loopback.server.Post("/clusters", [&](const httplib::Request&, httplib::Response& res) {
    ::kill(::getpid(), SIGHUP);  // arrives while the request is in flight
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past a progress tick
    res.set_content(R"({"id": "c-1"})", "application/json");
  });
  interrupt::install();
  interrupt::clear();
  Client client;
  Request request;
  request.method = "POST";
  request.url = loopback.url("/clusters");
  request.body = "{}";
  request.timeout_seconds = 10;
  request.interruptible = false;
  EXPECT_EQ(client.send(request).json()["id"], "c-1");
  EXPECT_TRUE(interrupt::requested());
  // Pending already when the request starts: still sent.
  EXPECT_EQ(client.send(request).status, 200);
  request.interruptible = true;
  EXPECT_THROW(client.send(request), Interrupted);
  interrupt::clear();
}

TEST(HttpClient, CollectedRepliesAreBoundedAndDeepJsonIsRefused) {
  LoopbackServer loopback;
  loopback.server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(5000, 'x'), "text/plain");
  });
  loopback.server.Get("/deep", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(100000, '[') + std::string(100000, ']'), "application/json");
  });
  Client client;
  Request request;
  request.url = loopback.url("/big");
  request.max_body_bytes = 5000;
  EXPECT_EQ(client.send(request).body.size(), 5000u);
  request.max_body_bytes = 4999;
  EXPECT_THAT([&] { client.send(request); },
              testing::ThrowsMessage<ClientError>("reply larger than 4999 bytes"));
  const auto deep = client.get(loopback.url("/deep"), 5);
  EXPECT_THAT(
      [&] { (void)deep.json(); },
      testing::ThrowsMessage<ClientError>("reply (status 200): nesting deeper than 100 levels"));
}

}  // namespace
}  // namespace tarvo::core::http
