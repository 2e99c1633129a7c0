#pragma once
// One served session: a simulator process of its own and the relay of calls to it.
// Shared by the gRPC and the HTTP front ends.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/client.hpp"
#include "sim/simulator_process.hpp"

namespace tarvo::sim {

// How many sessions of one server may be open at once: each holds a simulator
// process, so an unbounded number would let any client exhaust the host.
class SessionSlots {
 public:
  explicit SessionSlots(std::size_t limit) : limit_(limit) {}
  // False when every slot is taken.
  bool try_take();
  void give_back();
  std::size_t limit() const { return limit_; }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> taken_{0};
};

// A session refused because the server runs as many as it may; nothing was started.
class TooManySessions : public SessionError {
 public:
  using SessionError::SessionError;
};

// What every session of one server starts from.
struct SessionSetup {
  std::filesystem::path dir;
  std::vector<std::string> command;
  nlohmann::ordered_json env_init;  // defaults under the client's own env_init
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(60)};
  int cancel_fd = -1;                   // readable once the server shuts down
  std::shared_ptr<SessionSlots> slots;  // none: no limit
  std::string log_name;
  bool announce = true;  // log where the server listens at info level
};

class Session {
 public:
  // Starts the simulator; throws TooManySessions when no slot is free, SessionError
  // when it cannot start.
  explicit Session(const SessionSetup& setup);

  // Relays one call; `args` is a JSON object text. Returns the simulator's reply line
  // (a JSON object with "result" or "error"), valid until the next call. A call the
  // server refuses gets an error reply of its own. Throws SessionError when the
  // session is over: afterwards every call throws.
  std::string_view call(std::string_view method, std::string_view args);
  // The same for a caller that owns the arguments: large ones are relayed from where
  // they are (their line breaks turned into spaces) instead of being copied.
  std::string_view call_in_place(std::string_view method, std::string& args);

  bool over() const { return over_; }
  // Closes the simulator's input without waiting for it to exit, so that many
  // sessions ending together share one grace period.
  void begin_ending() { child_.close_input(); }

 private:
  // Holds one of the server's slots for the life of the session.
  class Slot {
   public:
    explicit Slot(const std::shared_ptr<SessionSlots>& slots);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

   private:
    std::shared_ptr<SessionSlots> slots_;
  };

  std::string_view relay(std::string_view method, std::string_view args, std::string* owned);
  std::string_view refuse(const std::string& message);

  const SessionSetup& setup_;
  Slot slot_;  // before child_: given back only once the simulator is gone
  SimulatorProcess child_;
  std::string request_;
  std::string refusal_;
  bool over_ = false;
};

// Whether `line` is a reply: one JSON object holding "result" or "error".
bool is_reply_line(std::string_view line);

}  // namespace tarvo::sim
