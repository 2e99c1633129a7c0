#pragma once
// Shared set-up of the tests against the engine the `docker_engine` fixture starts:
// each test begins and ends with no container of tarvo's in it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "docker/containers.hpp"
#include "e2e/harness.hpp"

namespace tarvo::test {

inline std::filesystem::path engine_state() {
  return TARVO_ENGINE_STATE;
}

inline std::string docker_host() {
  return "unix://" + (engine_state() / "docker.sock").string();
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream unavailable(engine_state() / "unavailable");
    std::string reason;
    if (unavailable && std::getline(unavailable, reason))
      GTEST_SKIP() << "no Docker engine here: " << reason;
    if (!std::filesystem::exists(engine_state() / "docker.sock"))
      GTEST_SKIP() << "no Docker engine running: run these tests through ctest, whose "
                      "docker_engine fixture starts one";
    session_.env()["DOCKER_HOST"] = docker_host();
    session_.env()["TARVO_DOCKER_NETWORK"] = "host";
    session_.env()["COLUMNS"] = "200";
    remove_our_containers();
  }

  void TearDown() override {
    if (!IsSkipped()) remove_our_containers();
  }

  tarvo::docker::Engine engine() {
    return tarvo::docker::Engine(tarvo::docker::parse_endpoint(docker_host()));
  }

  // Every container carrying tarvo's label, running or not.
  std::vector<tarvo::docker::Json> our_containers() {
    auto connection = engine();
    const auto filters = tarvo::docker::url_encode(R"({"label":["tarvo.managed"]})");
    const auto listed = connection.get("/containers/json?all=1&filters=" + filters);
    return {listed.begin(), listed.end()};
  }

  void remove_our_containers() {
    auto connection = engine();
    for (const auto& container : our_containers())
      connection.del("/containers/" + container["Id"].get<std::string>() + "?force=1");
  }

  core::process::Result tarvo(std::vector<std::string> args) {
    return session_.run(std::move(args));
  }

  // The logs of `name` once they hold `text` (a container writes at its own pace).
  std::string logs_holding(const std::string& name, const std::string& text) {
    core::process::Result result;
    for (int attempt = 0; attempt < 100; ++attempt) {
      result = tarvo({"sim", "logs", name});
      if (result.out.find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return result.out;
  }

  Session session_;
};

}  // namespace tarvo::test
