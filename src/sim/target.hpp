#pragma once
// A simulator to check or measure: a directory served here for the occasion, or the
// address of one that is already running.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "sim/client.hpp"
#include "sim/server.hpp"

namespace tarvo::sim {

class Target {
 public:
  // A directory when `target` names one, else an address (sim/address.hpp; its
  // scheme, when it names one, wins over `protocol`). Throws std::invalid_argument
  // for an absent or empty target or a malformed address; a directory that cannot be
  // served throws what make_from_sim_path throws.
  Target(const std::optional<std::string>& target, const std::string& protocol,
         std::chrono::milliseconds reply_timeout);
  ~Target();
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  bool is_directory() const { return server_ != nullptr; }
  std::unique_ptr<Client> connect(const std::string& env_id, const ClientOptions& options) const;

 private:
  std::string protocol_;
  std::string host_;
  int port_ = 0;
  std::unique_ptr<Server> server_;
  std::thread serving_;
};

// True when `target` names an existing directory.
bool is_directory_target(const std::string& target);

}  // namespace tarvo::sim
