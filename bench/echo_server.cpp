// The far end of the raw ping-pongs: answers every message with the reference
// simulator's step reply, with no simulator behind it.
//   grpc: the Simulator.Session stream on gRPC's synchronous server, as tarvo serves it
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
#include <string>
#include <thread>

#include "core/fd.hpp"
#include "http_wire.hpp"
#include "measure.hpp"
#include "proto/simulator.grpc.pb.h"

using namespace tarvo;

namespace {

class EchoService final : public tarvo::sim::Simulator::Service {
  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<tarvo::sim::Reply, tarvo::sim::Call>* stream) override {
    tarvo::sim::Call call;
    tarvo::sim::Reply reply;
    reply.set_line(bench::kStepReply);
    while (stream->Read(&call))
      if (!stream->Write(reply)) break;
    return grpc::Status::OK;
  }
};

void wait_for_parent() {
  pollfd fd{0, POLLIN, 0};
  poll(&fd, 1, 120'000);
}

int serve_grpc() {
  // As in tarvo's processes: abseil's lock-order bookkeeping off.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  EchoService service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  if (!server) return 1;
  std::printf("%d\n", port);
  std::fflush(stdout);
  wait_for_parent();
  server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
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
