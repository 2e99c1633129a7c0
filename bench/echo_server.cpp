// The far end of the raw ping-pongs: answers every message with the reference
// simulator's step reply, with no simulator behind it.
//   grpc: the Simulator.Session stream on gRPC's asynchronous server, one thread taking
//         events off the queue and answering in place, as tarvo serves it. It was the
//         fastest echo measured (1 client pinned: 17,600/s; synchronous server 11,400,
//         callback server 11,300, two polling threads 12,900), so the limit stays a
//         true one.
//   http: HTTP/1.1 keep-alive on plain sockets, one thread per connection
// Prints the bound port on a line of its own, then serves until its standard input
// closes (or two minutes pass, so that it never outlives a broken suite).
// Usage: tarvo_bench_echo grpc|http
#include <absl/synchronization/mutex.h>
#include <grpcpp/grpcpp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/fd.hpp"
#include "http_wire.hpp"
#include "measure.hpp"
#include "proto/simulator.grpc.pb.h"

using namespace tarvo;

namespace {

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
  Step step = Step::accepting;
};

int serve_grpc() {
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
          issue(echo, Step::writing, [&] { echo->stream.Write(reply, echo); });
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

void answer_connection(core::Fd connection) {
  bench::HttpReader reader(connection.get());
  std::string response = bench::http_response(bench::kStepReply);
  std::string body;
  while (reader.read_message(body))
    if (!bench::write_all(connection.get(), response)) break;
}

int serve_http() {
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
    std::thread(answer_connection, std::move(connection)).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 2 ? argv[1] : "";
  if (mode == "grpc") return serve_grpc();
  if (mode == "http") return serve_http();
  std::fprintf(stderr, "usage: %s grpc|http\n", argv[0]);
  return 2;
}
