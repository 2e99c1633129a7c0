// The way a user ships a Python simulator in a container: `sim new --docker`, then
// `docker build` on the base image tarvo:latest (built offline by make-base-image from
// the tarvo at hand, here the build tree laid out as installed), then start, wait for
// the image's HEALTHCHECK to find it healthy, validate over the network and stop it.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "e2e/sim_run_available.hpp"
#include "engine_test.hpp"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;

class BaseImageTest : public EngineTest {
 protected:
  void TearDown() override {
    EngineTest::TearDown();
    if (IsSkipped()) return;
    // Other tests list the engine's simulator images: leave only the fixture's.
    auto connection = engine();
    for (const char* image : {"tarvo/py-sim", "tarvo:latest"})
      try {
        connection.del(std::string("/images/") + image + "?force=1");
      } catch (const std::exception&) {
        // Never built: nothing to remove.
      }
  }

  // A program of the Docker tooling, talking to the test engine.
  core::process::Result tool(std::vector<std::string> argv) {
    auto environment = core::process::current_environment();
    environment["DOCKER_HOST"] = docker_host();
    // The classic builder needs no plug-in and no registry for a local base image.
    environment["DOCKER_BUILDKIT"] = "0";
    core::process::Options options;
    options.environment = environment;
    options.out = core::process::Stream::capture;
    options.err = core::process::Stream::capture;
    options.input = "";
    return core::process::run(argv, options);
  }
};

TEST_F(BaseImageTest, ScaffoldedDockerSimulatorServesFromTheOfflineBaseImage) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  if (!core::process::find_program("docker"))
    GTEST_SKIP() << "the docker program is not installed (Debian package docker.io)";

  const auto base = tool({std::string(TARVO_BUILD_DIR) + "/lib/tarvo/make-base-image"});
  ASSERT_EQ(base.exit_code, 0) << base.out << base.err;
  EXPECT_EQ(base.out, "Built tarvo:latest\n");

  ScratchDir sims;
  const auto created = tarvo(
      {"sim", "new", "-n", "py-sim", "-d", "A cart-pole", "-l", sims.path().string(), "--docker"});
  ASSERT_EQ(created.exit_code, 0) << created.err;
  const auto sim_dir = sims.path() / "py-sim";
  ASSERT_TRUE(std::filesystem::exists(sim_dir / "Dockerfile")) << created.out;

  const auto built = tool({"docker", "build", "-q", "-t", "tarvo/py-sim", sim_dir.string()});
  ASSERT_EQ(built.exit_code, 0) << built.out << built.err;

  const auto started = tarvo({"sim", "start", "py-sim"});
  ASSERT_EQ(started.exit_code, 0) << started.out << started.err;
  EXPECT_THAT(started.out, HasSubstr("Simulator py-sim is running at localhost:1337"));
  // The base image's HEALTHCHECK tells when tarvo inside serves (its first probe
  // comes one interval, 10 s, after the start; a busy machine takes longer).
  const auto containers = our_containers();
  ASSERT_EQ(containers.size(), 1u);
  const auto id = containers.front()["Id"].get<std::string>();
  std::string health;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (health != "healthy" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto state = engine().get("/containers/" + id + "/json").at("State");
    health = state.contains("Health") ? state["Health"].value("Status", "") : "no HEALTHCHECK";
    if (health == "unhealthy" || health == "no HEALTHCHECK") break;
  }
  ASSERT_EQ(health, "healthy");

  const auto validated = tarvo({"sim", "validate", "-a", "localhost:1337"});
  EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;

  const auto stopped = tarvo({"sim", "stop", "--sim-id", "py-sim"});
  EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
  EXPECT_TRUE(our_containers().empty());
}

}  // namespace
}  // namespace tarvo::test
