// The platform's 15-second limit, shortened: a platform that accepts connections
// and never answers, during registration, rollback and disconnect.
#include <gtest/gtest.h>

#include "../e2e/compute_support.hpp"
#include "cli/compute/compute.hpp"
#include "cli/exit.hpp"
#include "compute/state.hpp"
#include "compute_test_support.hpp"

namespace tarvo::cli::compute {
namespace {

constexpr Timeouts kShort{0.3, 0.3};

class PlatformTimeOut : public testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    network_ = test::PrivateNetwork::enter(reason);
    if (!network_) GTEST_SKIP() << reason;
    env_.set("PATH", bin().string());
    env_.set("NO_COLOR", "1");
    env_.set("XDG_STATE_HOME", (dir_.path() / "state").string());
    env_.set("XDG_CONFIG_HOME", (dir_.path() / "config").string());
    env_.set("TARVO_ORGANIZATION", "One");
    env_.unset("TARVO_API_KEY");
  }
  // A scripted platform whose cluster endpoints answer only after 5 seconds.
  void start_slow_platform(const test::Json& extra_routes = test::Json::array()) {
    auto routes = test::Json::parse(R"([
        {"method": "GET", "path": "/v1/organizations", "responses": [{"status": 200,
          "body": "[{\"uuid\": \"o-1\", \"name\": \"One\"}]", "content_type": "application/json"}]},
        {"method": "POST", "path": "/v1/clusters/local", "responses": [{"delay": 5}]},
        {"method": "DELETE", "path": "/v1/clusters/c-1", "responses": [{"delay": 5}]}])");
    for (const auto& route : extra_routes)
      routes.insert(routes.begin(), route);
    std::ofstream(dir_.path() / "script.json") << test::Json{{"routes", routes}}.dump();
    platform_ = std::make_unique<test::BackgroundServer>(
        std::vector<std::string>{test::build_bin("fake-http-server").string(), "--port", "0",
                                 "--script", (dir_.path() / "script.json").string()});
    env_.set("TARVO_API_URL", "http://127.0.0.1:" + std::to_string(platform_->port()));
  }
  std::filesystem::path bin() const { return dir_.path() / "bin"; }

  test::ScratchDir dir_;
  test::ScopedEnvironment env_;
  std::unique_ptr<test::PrivateNetwork> network_;
  std::unique_ptr<test::BackgroundServer> platform_;
};

TEST_F(PlatformTimeOut, Registration) {
  start_slow_platform();
  test::install_fake(bin(), "docker");
  testing::internal::CaptureStdout();
  EXPECT_THROW(_connect_async(std::nullopt, kShort), Exit);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Could not reach TARVO platform: request timed out\n");
  EXPECT_EQ(tarvo::compute::state::load(), std::nullopt);
}

TEST_F(PlatformTimeOut, RollbackDeregistration) {
  start_slow_platform(test::Json::parse(R"([{"method": "POST", "path": "/v1/clusters/local",
      "responses": [{"status": 201, "body": "{\"id\": \"c-1\"}",
                     "content_type": "application/json"}]}])"));
  test::install_fake(bin(), "docker",
                     test::Json::parse(R"([{"when": ["up"], "results": [{"exit": 1}]}])"));
  testing::internal::CaptureStdout();
  EXPECT_THROW(_connect_async("n", kShort), Exit);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to start compute stack:\n\n"
            "Error during setup — deregistering cluster and shutting down compute stack\n"
            "Could not reach TARVO platform to deregister: \n");
}

TEST_F(PlatformTimeOut, Disconnect) {
  start_slow_platform();
  test::install_fake(bin(), "docker");
  tarvo::compute::state::save(test::Json{{"cluster_id", "c-1"}, {"organization_id", "o-1"}});
  testing::internal::CaptureStdout();
  _disconnect_async(kShort);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Could not reach TARVO platform to deregister: timed out\n"
            "Compute node stopped. Platform deregistration failed — the cluster may still appear "
            "online.\n");
  EXPECT_EQ(tarvo::compute::state::load(), std::nullopt);
}

}  // namespace
}  // namespace tarvo::cli::compute
