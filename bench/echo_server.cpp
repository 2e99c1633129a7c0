// The far end of the raw ping-pongs: answers every message with the reference
// simulator's step reply, with no simulator behind it.
//   grpc[:VARIANT]  the Simulator.Session stream in one of gRPC's server APIs
//                   (grpc_variants.hpp; default "async", the way tarvo serves)
//   http            HTTP/1.1 keep-alive on plain sockets, one thread per connection
//   http:httplib    the same served by cpp-httplib (its thread pool, keep-alive kept
//                   open, TCP_NODELAY on)
// With a simulator (DIR and PROGRAM) each stream or connection starts one and relays
// every call to it as a line and its reply back, with nothing else on the way: no
// checks, no sessions, no JSON. That is the floor for any server that relays to a
// simulator process; one thread per connection measured no slower than one thread
// polling every socket and pipe (epoll).
// Prints the bound port on a line of its own, then serves until its standard input
// closes (or two minutes pass, so that it never outlives a broken suite).
// Usage: tarvo_bench_echo grpc[:VARIANT]|http[:httplib] [DIR PROGRAM]
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/fd.hpp"
#include "grpc_echo.hpp"
#include "http_wire.hpp"
#include "measure.hpp"
#include "simulator_pipe.hpp"

using namespace tarvo;
using bench::SimulatorCommand;
using bench::SimulatorPipe;

namespace {

void wait_for_parent() {
  pollfd fd{0, POLLIN, 0};
  poll(&fd, 1, 120'000);
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

int serve_httplib(const std::optional<SimulatorCommand>& relay) {
  httplib::Server server;
  server.set_tcp_nodelay(true);
  // Its default closes a connection after five requests.
  server.set_keep_alive_max_count(std::size_t{1} << 30);
  server.Post(
      "/sessions/0/step", [&](const httplib::Request& request, httplib::Response& response) {
        if (!relay) return response.set_content(bench::kStepReply, "application/json");
        // A keep-alive connection stays on one thread of the pool: a simulator per thread
        // is a simulator per connection.
        thread_local std::optional<SimulatorPipe> simulator;
        if (!simulator) simulator.emplace(*relay);
        response.set_content(std::string(simulator->step(request.body)), "application/json");
      });
  int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) return 1;
  std::printf("%d\n", port);
  std::fflush(stdout);
  std::thread([] {
    wait_for_parent();
    std::_Exit(0);  // as above: pool threads hold connections open
  }).detach();
  return server.listen_after_bind() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 2 || argc == 4 ? argv[1] : "";
  std::optional<SimulatorCommand> relay;
  if (argc == 4) relay = SimulatorCommand{argv[2], argv[3]};
  try {
    if (mode == "grpc" || mode.starts_with("grpc:")) {
      auto variant = bench::parse_grpc_variant(mode == "grpc" ? "async" : mode.substr(5),
                                               {"async", "async2", "sync", "callback"});
      return bench::serve_grpc(variant, relay, wait_for_parent);
    }
    if (mode == "http") return serve_http(relay);
    if (mode == "http:httplib") return serve_httplib(relay);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvo_bench_echo: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: %s grpc[:VARIANT]|http[:httplib] [DIR PROGRAM]\n", argv[0]);
  return 2;
}
