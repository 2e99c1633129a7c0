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
      : protocol_(protocol) {
    tarvo::sim::ServerOptions options;
    options.reply_timeout = reply_timeout;
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

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
};

}  // namespace tarvo::test
