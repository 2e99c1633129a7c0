// The far end of the raw ping-pongs: answers every message with the reference
// simulator's step reply, with no simulator behind it.
//   grpc: the Simulator.Session stream on gRPC's asynchronous server, one thread taking
//         events off the queue and answering in place, as tarvo serves it. It was the
//         fastest echo measured (1 client pinned: 17,600/s; synchronous server 11,400,
//         callback server 11,300, two polling threads 12,900), so the limit stays a
//         true one.
//   http: HTTP/1.1 keep-alive on plain sockets, one thread per connection
// With a simulator (DIR and PROGRAM) each stream or connection starts one and relays
// every call to it as a line and its reply back, with nothing else on the way: no
// checks, no sessions, no JSON. That is the floor for any server that relays to a
// simulator process; one thread per connection measured no slower than one thread
// polling every socket and pipe (epoll).
// Prints the bound port on a line of its own, then serves until its standard input
// closes (or two minutes pass, so that it never outlives a broken suite).
// Usage: tarvo_bench_echo grpc|http [DIR PROGRAM]
#include <absl/synchronization/mutex.h>
#include <fcntl.h>
#include <grpcpp/grpcpp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/fd.hpp"
#include "http_wire.hpp"
#include "measure.hpp"
#include "proto/simulator.grpc.pb.h"

extern char** environ;

using namespace tarvo;

namespace {

// The simulator to relay to, if any.
struct SimulatorCommand {
  std::string dir;
  std::string program;
};

// One simulator process; it ends when its input closes with the object.
class SimulatorPipe {
 public:
  explicit SimulatorPipe(const SimulatorCommand& command) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("cannot create a pipe");
    core::Fd in_read(in[0]), out_write(out[1]);
    in_.reset(in[1]);
    out_.reset(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_addchdir_np(&actions, command.dir.c_str());
    std::string program = command.program;
    char* argv[] = {program.data(), nullptr};
    pid_t pid;
    int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start the simulator");
  }

  // Sends the step call with `args` (a JSON object) and returns the reply line.
  std::string_view step(std::string_view args) {
    request_.assign(R"({"method":"step",)").append(args.substr(1)).append("\n");
    if (!bench::write_all(in_.get(), request_)) throw std::runtime_error("the simulator left");
    line_.erase(0, taken_);
    taken_ = 0;
    std::size_t end;
    while ((end = line_.find('\n')) == std::string::npos) {
      char chunk[4096];
      ssize_t n = ::read(out_.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the simulator left");
      line_.append(chunk, static_cast<std::size_t>(n));
    }
    taken_ = end + 1;
    return std::string_view(line_).substr(0, end);
  }

 private:
  core::Fd in_;
  core::Fd out_;
  std::string request_;
  std::string line_;
  std::size_t taken_ = 0;
};

void wait_for_parent() {
  pollfd fd{0, POLLIN, 0};
  poll(&fd, 1, 120'000);
}

// One stream: read, answer, read again; one operation at a time.
struct EchoStream {
  enum class Step { accepting, reading, writing, finishing };
  grpc::ServerContext context;
  grpc::ServerAsyncReaderWriter<tarvo::sim::Reply, tarvo::sim::Call> stream{&context};
  tarvo::sim::Call call;
  tarvo::sim::Reply reply;
  std::optional<SimulatorPipe> simulator;
  Step step = Step::accepting;
};

int serve_grpc(const std::optional<SimulatorCommand>& relay) {
  // As in tarvo's processes: abseil's lock-order bookkeeping off.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  tarvo::sim::Simulator::AsyncService service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&service);
  auto queue = builder.AddCompletionQueue();
  auto server = builder.BuildAndStart();
  if (!server) return 1;
  tarvo::sim::Reply reply;
  reply.set_line(bench::kStepReply);
  std::unordered_map<EchoStream*, std::unique_ptr<EchoStream>> streams;
  // No operation may start once the queue is shut down.
  std::mutex queue_mutex;
  bool closing = false;
  auto issue = [&](EchoStream* echo, EchoStream::Step step, auto operation) {
    std::lock_guard lock(queue_mutex);
    echo->step = step;
    if (closing) {
      streams.erase(echo);
      return;
    }
    operation();
  };
  auto accept = [&] {
    auto owned = std::make_unique<EchoStream>();
    auto* echo = owned.get();
    streams.emplace(echo, std::move(owned));
    issue(echo, EchoStream::Step::accepting, [&] {
      service.RequestSession(&echo->context, &echo->stream, queue.get(), queue.get(), echo);
    });
  };
  accept();
  std::thread poller([&] {
    using Step = EchoStream::Step;
    void* tag;
    bool ok;
    while (queue->Next(&tag, &ok)) {
      auto* echo = static_cast<EchoStream*>(tag);
      auto read = [&] {
        issue(echo, Step::reading, [&] { echo->stream.Read(&echo->call, echo); });
      };
      auto finish = [&] {
        issue(echo, Step::finishing, [&] { echo->stream.Finish(grpc::Status::OK, echo); });
      };
      switch (echo->step) {
        case Step::accepting:
          if (!ok) {
            streams.erase(echo);
            break;
          }
          accept();
          read();
          break;
        case Step::reading:
          if (!ok) {
            finish();
            break;
          }
          if (relay) {
            try {
              if (!echo->simulator) echo->simulator.emplace(*relay);
              echo->reply.set_line(std::string(echo->simulator->step(echo->call.args())));
            } catch (const std::exception& error) {
              std::fprintf(stderr, "tarvo_bench_echo: %s\n", error.what());
              finish();
              break;
            }
          }
          issue(echo, Step::writing,
                [&] { echo->stream.Write(relay ? echo->reply : reply, echo); });
          break;
        case Step::writing:
          if (ok)
            read();
          else
            finish();
          break;
        case Step::finishing:
          streams.erase(echo);
          break;
      }
    }
  });
  std::printf("%d\n", port);
  std::fflush(stdout);
  wait_for_parent();
  server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
  {
    std::lock_guard lock(queue_mutex);
    closing = true;
    queue->Shutdown();
  }
  poller.join();
  return 0;
}

void answer_connection(core::Fd connection, std::optional<SimulatorCommand> relay) {
  try {
    bench::HttpReader reader(connection.get());
    std::string response = bench::http_response(bench::kStepReply);
    std::optional<SimulatorPipe> simulator;
    if (relay) simulator.emplace(*relay);
    std::string body;
    while (reader.read_message(body)) {
      if (simulator) response = bench::http_response(simulator->step(body));
      if (!bench::write_all(connection.get(), response)) break;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvo_bench_echo: %s\n", error.what());
  }
}

int serve_http(const std::optional<SimulatorCommand>& relay) {
  core::Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener.get(), 64) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 1;
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  std::thread([] {
    wait_for_parent();
    std::_Exit(0);  // connection threads are parked in read(): end them all at once
  }).detach();
  for (;;) {
    core::Fd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) continue;
    int yes = 1;
    setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::thread(answer_connection, std::move(connection), relay).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 2 || argc == 4 ? argv[1] : "";
  std::optional<SimulatorCommand> relay;
  if (argc == 4) relay = SimulatorCommand{argv[2], argv[3]};
  try {
    if (mode == "grpc") return serve_grpc(relay);
    if (mode == "http") return serve_http(relay);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvo_bench_echo: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: %s grpc|http [DIR PROGRAM]\n", argv[0]);
  return 2;
}
