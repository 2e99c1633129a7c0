// `tarvo sim new`: the questions it asks, what it writes, and what it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim_support.hpp"

using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace tarvo::test::sim {
namespace {

TEST(SimNew, AllOptionsAskNothingAndWriteADockerProject) {
  Session session;
  ScratchDir work;
  // Standard input is empty: a question would end the command with "Aborted!".
  auto result = run_in(session, work.path(),
                       {"sim", "new", "--name", "cart", "--description", "Pole \"balancing\" [v1]",
                        "--location", "projects/sims", "--docker"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, Not(HasSubstr("Name")));
  EXPECT_THAT(result.out, HasSubstr("Created sim 'cart' in projects/sims/cart"));
  EXPECT_THAT(result.out, HasSubstr("tarvo sim validate projects/sims/cart"));
  EXPECT_THAT(result.out, HasSubstr("tarvo sim run projects/sims/cart"));

  const auto dir = work.path() / "projects/sims/cart";
  const auto manifest = nlohmann::ordered_json::parse(read_file(dir / "tarvo.json"));
  EXPECT_EQ(manifest.dump(),
            R"({"name":"cart","description":"Pole \"balancing\" [v1]","kind":"sim-docker",)"
            R"("version":"0.1.0","command":["python3","sim.py"]})");
  EXPECT_EQ(read_file(dir / "sim.py"), read_file(example("python-sim") / "sim.py"));
  EXPECT_EQ(read_file(dir / "Dockerfile"), read_file(example("python-sim") / "Dockerfile"));
  EXPECT_THAT(read_file(dir / "README.md"), StartsWith("# cart\n\nPole \"balancing\" [v1]\n\n## "));
  EXPECT_THAT(result.out, HasSubstr("Dockerfile"));
}

TEST(SimNew, WithoutOptionsAsksNameDescriptionLocationInOrder) {
  Session session;
  ScratchDir work;
  auto result = run_in(session, work.path(), {"sim", "new"}, "first\nThe first one\nsims/here\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto name = result.out.find("Name [my-sim]: ");
  const auto description = result.out.find("Description [A demo sim]: ");
  const auto location = result.out.find("Location [./]: ");
  ASSERT_NE(name, std::string::npos) << result.out;
  ASSERT_NE(description, std::string::npos) << result.out;
  ASSERT_NE(location, std::string::npos) << result.out;
  EXPECT_LT(name, description);
  EXPECT_LT(description, location);
  EXPECT_THAT(result.out, Not(HasSubstr("ocker [")));  // --docker is never asked for

  const auto dir = work.path() / "sims/here/first";
  const auto manifest = nlohmann::ordered_json::parse(read_file(dir / "tarvo.json"));
  EXPECT_EQ(manifest["description"], "The first one");
  EXPECT_EQ(manifest["kind"], "sim");
  EXPECT_FALSE(fs::exists(dir / "Dockerfile"));
}

TEST(SimNew, EmptyAnswersTakeTheDefaults) {
  Session session;
  ScratchDir work;
  auto result = run_in(session, work.path(), {"sim", "new"}, "\n\n\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto manifest =
      nlohmann::ordered_json::parse(read_file(work.path() / "my-sim" / "tarvo.json"));
  EXPECT_EQ(manifest["name"], "my-sim");
  EXPECT_EQ(manifest["description"], "A demo sim");

  // A partly given command line asks only for what is missing.
  auto partial = run_in(session, work.path(), {"sim", "new", "-n", "second", "-l", "."}, "\n");
  ASSERT_EQ(partial.exit_code, 0) << partial.err;
  EXPECT_THAT(partial.out, Not(HasSubstr("Name [")));
  EXPECT_THAT(partial.out, HasSubstr("Description [A demo sim]: "));
  EXPECT_TRUE(fs::exists(work.path() / "second" / "sim.py"));
}

TEST(SimNew, RefusesToWriteOverAnything) {
  Session session;
  ScratchDir work;
  fs::create_directories(work.path() / "taken");
  write_file(work.path() / "taken" / "notes.txt", "mine");
  write_file(work.path() / "plain", "a file");

  auto taken = run_in(session, work.path(), {"sim", "new", "-n", "taken", "-d", "x", "-l", "./"});
  EXPECT_EQ(taken.exit_code, 1);
  EXPECT_EQ(taken.err, "Error: taken already exists and is not empty\n");
  EXPECT_EQ(read_file(work.path() / "taken" / "notes.txt"), "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(work.path() / "taken"), {}), 1);

  auto file = run_in(session, work.path(), {"sim", "new", "-n", "plain", "-d", "x", "-l", "."});
  EXPECT_EQ(file.exit_code, 1);
  EXPECT_EQ(file.err, "Error: plain already exists and is not a directory\n");
  EXPECT_EQ(read_file(work.path() / "plain"), "a file");

  for (const char* name : {"../escape", "a/b", "..", ""}) {
    auto bad = run_in(session, work.path(), {"sim", "new", "-n", name, "-d", "x", "-l", "inner"});
    EXPECT_EQ(bad.exit_code, 1) << name;
    EXPECT_THAT(bad.err, StartsWith("Error: Invalid sim name")) << name;
  }
  EXPECT_FALSE(fs::exists(work.path() / "inner"));
  EXPECT_FALSE(fs::exists(work.path() / "escape"));

  // An existing empty folder is fine.
  fs::create_directories(work.path() / "empty");
  auto empty = run_in(session, work.path(), {"sim", "new", "-n", "empty", "-d", "x", "-l", "."});
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_TRUE(fs::exists(work.path() / "empty" / "tarvo.json"));
}

}  // namespace
}  // namespace tarvo::test::sim
