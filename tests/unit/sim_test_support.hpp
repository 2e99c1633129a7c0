#pragma once
// A simulator server from build/examples served on loopback for the length of a test.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "sim/client.hpp"
#include "sim/server.hpp"

namespace tarvo::test {

inline std::string example_dir(const std::string& name) {
  return std::string(TARVO_BUILD_DIR) + "/examples/" + name;
}

class ServedSimulator {
 public:
  ServedSimulator(const std::string& dir, const std::string& protocol,
                  std::chrono::milliseconds reply_timeout = std::chrono::seconds(2),
                  const nlohmann::ordered_json& mapping = nlohmann::ordered_json::object())
      : ServedSimulator(dir, protocol, options_with(reply_timeout), mapping) {}
  ServedSimulator(const std::string& dir, const std::string& protocol,
                  const tarvo::sim::ServerOptions& options,
                  const nlohmann::ordered_json& mapping = nlohmann::ordered_json::object())
      : protocol_(protocol) {
    server_ = tarvo::sim::make_from_sim_path(dir, "127.0.0.1", 0, mapping, protocol, options);
    server_->listen();
    thread_ = std::thread([this] { server_->start(); });
  }
  ~ServedSimulator() {
    server_->stop();
    thread_.join();
  }

  int port() const { return server_->port(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
  std::unique_ptr<tarvo::sim::Client> client(
      const nlohmann::ordered_json& env_init = nlohmann::ordered_json::object()) const {
    return tarvo::sim::create_client(protocol_, "test-env", "127.0.0.1", port(), env_init);
  }
  tarvo::sim::Server& server() { return *server_; }

  static tarvo::sim::ServerOptions options_with(std::chrono::milliseconds reply_timeout) {
    tarvo::sim::ServerOptions options;
    options.reply_timeout = reply_timeout;
    options.announce = false;
    return options;
  }

 private:
  std::string protocol_;
  std::unique_ptr<tarvo::sim::Server> server_;
  std::thread thread_;
};

// A scratch simulator directory holding one manifest.
class ScratchSim {
 public:
  explicit ScratchSim(const std::string& manifest) {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarvo-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "tarvo.json") << manifest;
  }
  ~ScratchSim() { std::filesystem::remove_all(dir_); }
  std::string path() const { return dir_.string(); }
  // Adds a file beside the manifest (the simulator's program, say).
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name) << text;
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
};

// Processes whose working folder is `dir`: the simulators started from it, and their
// helpers.
inline std::size_t processes_in(const std::filesystem::path& dir) {
  const auto wanted = std::filesystem::canonical(dir);
  std::size_t found = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ignored;
    found += std::filesystem::read_symlink(entry.path() / "cwd", ignored) == wanted;
  }
  return found;
}

}  // namespace tarvo::test
