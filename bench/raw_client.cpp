// The limits the tarvo figures are set against: ping-pongs of the step payload
// between two processes with nothing behind the far end.
//   grpc[:VARIANT]  one Session stream per client in one of gRPC's client APIs
//                   (grpc_variants.hpp; default "sync", the way tarvo steps)
//   http            one keep-alive connection per client on a plain socket
//   http:httplib    the same through cpp-httplib's client
//   pipe            a pair of pipes to a forked echo process per client (port ignored)
// against `tarvo_bench_echo` (any of its servers of the same protocol).
// Usage: tarvo_bench_raw grpc[:VARIANT]|http[:httplib]|pipe port steps clients
#include <absl/synchronization/mutex.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/fd.hpp"
#include "grpc_ping.hpp"
#include "http_wire.hpp"
#include "run_clients.hpp"

using namespace tarvo;

namespace {

class GrpcClient {
 public:
  GrpcClient(const bench::GrpcVariant& variant, const std::string& address)
      : ping_(bench::make_grpc_ping(variant, address)) {}
  void round_trip() { ping_->round_trip(); }

 private:
  std::unique_ptr<bench::GrpcPing> ping_;
};

class HttpClient {
 public:
  explicit HttpClient(int port)
      : socket_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
        reader_(socket_.get()),
        request_(bench::http_request("/sessions/0/step", bench::kStepArgs)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error(std::string("cannot connect: ") + std::strerror(errno));
    int yes = 1;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }
  void round_trip() {
    if (!bench::write_all(socket_.get(), request_) || !reader_.read_message(body_))
      throw std::runtime_error("the HTTP echo connection broke");
  }

 private:
  core::Fd socket_;
  bench::HttpReader reader_;
  std::string request_;
  std::string body_;
};

// The same keep-alive POSTs through cpp-httplib's client (TCP_NODELAY on).
class HttplibClient {
 public:
  explicit HttplibClient(int port) : client_("127.0.0.1", port) {
    client_.set_keep_alive(true);
    client_.set_tcp_nodelay(true);
  }
  void round_trip() {
    auto result = client_.Post("/sessions/0/step", bench::kStepArgs, "application/json");
    if (!result || result->status != 200)
      throw std::runtime_error("the HTTP echo connection broke");
  }

 private:
  httplib::Client client_;
};

// A forked echo process on the other end of two pipes, as a simulator would be.
class PipeClient {
 public:
  PipeClient() {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0)
      throw std::runtime_error("cannot create pipes");
    child_ = fork();
    if (child_ == 0) {
      // Only its own two ends: an inherited end of another client's pipe would
      // keep that client's echo process from ever seeing the end of its input.
      dup2(down[0], STDIN_FILENO);
      dup2(up[1], STDOUT_FILENO);
      close_range(3, ~0U, 0);
      echo(STDIN_FILENO, STDOUT_FILENO);
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    to_child_.reset(down[1]);
    from_child_.reset(up[0]);
    request_ = std::string(R"({"method":"step","action":1})") + "\n";
  }
  ~PipeClient() {
    to_child_.reset();
    waitpid(child_, nullptr, 0);
  }
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;

  void round_trip() {
    if (!bench::write_all(to_child_.get(), request_) || !read_line(from_child_.get()))
      throw std::runtime_error("the pipe echo broke");
  }

 private:
  static void echo(int in, int out) {
    const std::string reply = std::string(bench::kStepReply) + "\n";
    while (read_line(in))
      if (!bench::write_all(out, reply)) return;
  }
  // Whole lines arrive in one read: each side waits for the other's reply.
  static bool read_line(int fd) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    return n > 0;
  }

  pid_t child_ = -1;
  core::Fd to_child_;
  core::Fd from_child_;
  std::string request_;
};

template <typename Client, typename... Args>
bench::Figures run(int clients, long long steps, Args... args) {
  std::vector<std::unique_ptr<Client>> owned;
  return bench::run_clients(clients, steps, [&](int) {
    auto& client = owned.emplace_back(std::make_unique<Client>(args...));
    return [raw = client.get()] { raw->round_trip(); };
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s grpc[:VARIANT]|http[:httplib]|pipe port steps clients\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const int port = static_cast<int>(bench::positive_arg(argv[2], "port"));
  const long long steps = bench::positive_arg(argv[3], "steps");
  const int clients = static_cast<int>(bench::positive_arg(argv[4], "clients"));
  // As in tarvo's processes: abseil's lock-order bookkeeping off.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  try {
    bench::Figures figures;
    if (mode == "grpc" || mode.starts_with("grpc:"))
      figures = run<GrpcClient>(clients, steps,
                                bench::parse_grpc_variant(mode == "grpc" ? "sync" : mode.substr(5),
                                                          {"sync", "async", "callback"}),
                                "127.0.0.1:" + std::to_string(port));
    else if (mode == "http")
      figures = run<HttpClient>(clients, steps, port);
    else if (mode == "http:httplib")
      figures = run<HttplibClient>(clients, steps, port);
    else if (mode == "pipe")
      figures = run<PipeClient>(clients, steps);
    else
      throw std::invalid_argument("unknown mode '" + mode + "'");
    bench::print_figures("raw " + mode, clients, std::move(figures));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvo_bench_raw: %s\n", error.what());
    return 1;
  }
  return 0;
}
