#pragma once
// Serving a simulator directory. Each client session gets its own simulator process,
// started from the manifest's command; the server relays calls to it line by line
// and passes the simulator's JSON through untouched. A simulator that dies, answers
// garbage or stays silent past the reply limit ends its own session with a clear
// error; the server and the other sessions go on.
//
// gRPC: the Simulator.Session stream of proto/simulator.proto.
// HTTP/1.1 (keep-alive, JSON bodies):
//   POST   /sessions              -> {"session": "<id>"}     starts a simulator
//   POST   /sessions/<id>/<method> body: arguments object -> the simulator's reply
//   DELETE /sessions/<id>                                    ends the session
// Whatever a client sends, the server stays up: sessions are capped, request bodies
// are bounded one by one and all together, JSON nesting is limited, and a broken
// request is answered (or its connection closed) without touching the others.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/manifest.hpp"

namespace tarvo::sim {

inline constexpr std::size_t kDefaultMaxSessions = 64;

struct ServerOptions {
  // Longest wait for one reply from a simulator.
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(60)};
  // HTTP sessions untouched this long are ended (a client that vanished).
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(10)};
  // Sessions (simulator processes) open at once; more are refused, nothing started.
  std::size_t max_sessions = kDefaultMaxSessions;
  // Log the address served at info level; a private server (validate, benchmark)
  // logs it at debug level only.
  bool announce = true;
};

class Server {
 public:
  virtual ~Server() = default;
  // Binds the address (idempotent); throws when that fails. start() calls it.
  virtual void listen() = 0;
  // Serves until stop(). Throws on failure; Ctrl-C ends it with core::Interrupted
  // after the server has shut down.
  virtual void start() = 0;
  // Shuts the server down and ends every session; safe from any thread, idempotent.
  virtual void stop() = 0;
  // The bound port once listening (useful with port 0), else the requested one.
  virtual int port() const = 0;
};

// `mapping` is the default env_init of every session: keys a client's own env_init
// gives win. `protocol` is "grpc" or "http".
std::unique_ptr<Server> make_from_sim_path(const std::filesystem::path& path,
                                           const std::string& host, int port,
                                           const nlohmann::ordered_json& mapping,
                                           const std::string& protocol,
                                           const ServerOptions& options = {});

}  // namespace tarvo::sim
