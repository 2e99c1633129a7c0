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
  // The example's Dockerfile, made this simulator's, and the base image accounted for.
  const std::string dockerfile = read_file(dir / "Dockerfile");
  EXPECT_THAT(dockerfile, HasSubstr("docker build -t tarvo/cart .\n"));
  EXPECT_THAT(dockerfile, HasSubstr("tarvo sim start cart\n"));
  EXPECT_THAT(dockerfile, Not(HasSubstr("python-sim")));
  EXPECT_THAT(dockerfile, HasSubstr("Base image for Docker"));
  std::string example_dockerfile = read_file(example("python-sim") / "Dockerfile");
  for (auto at = example_dockerfile.find("python-sim"); at != std::string::npos;
       at = example_dockerfile.find("python-sim"))
    example_dockerfile.replace(at, 10, "cart");
  EXPECT_EQ(dockerfile, example_dockerfile);
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

TEST(SimNew, ABadNameAtThePromptIsAskedForAgainWithTheRule) {
  Session session;
  ScratchDir work;
  auto result =
      run_in(session, work.path(), {"sim", "new", "-d", "d", "-l", "."}, "x y\nMySim\ncart-pole\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("'x y' cannot name a simulator: use only lower-case letters"));
  EXPECT_THAT(result.err, HasSubstr("'MySim' cannot name a simulator: image names are lower-case "
                                    "(try 'mysim')"));
  std::size_t prompts = 0;
  for (auto at = result.out.find("Name [my-sim]: "); at != std::string::npos;
       at = result.out.find("Name [my-sim]: ", at + 1))
    ++prompts;
  EXPECT_EQ(prompts, 3u);
  EXPECT_TRUE(fs::exists(work.path() / "cart-pole" / "tarvo.json"));
  EXPECT_FALSE(fs::exists(work.path() / "x y"));
}

TEST(SimNew, ALeadingTildeIsTheHomeDirectory) {
  Session session;
  ScratchDir work;
  // At the prompt, where no shell expands it, and as an option written as one word.
  auto asked = run_in(session, work.path(), {"sim", "new", "-n", "one", "-d", "d"}, "~/sims\n");
  ASSERT_EQ(asked.exit_code, 0) << asked.err;
  EXPECT_TRUE(fs::exists(session.home() / "sims" / "one" / "tarvo.json"));
  auto given = run_in(session, work.path(), {"sim", "new", "-n", "two", "-d", "d", "--location=~"});
  ASSERT_EQ(given.exit_code, 0) << given.err;
  EXPECT_TRUE(fs::exists(session.home() / "two" / "tarvo.json"));
  EXPECT_FALSE(fs::exists(work.path() / "~"));
  // Only a leading "~" stands for the home: elsewhere it is a name like any other.
  auto inner = run_in(session, work.path(), {"sim", "new", "-n", "three", "-d", "d", "-l", "a/~"});
  ASSERT_EQ(inner.exit_code, 0) << inner.err;
  EXPECT_TRUE(fs::exists(work.path() / "a" / "~" / "three"));
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

  // A name that cannot become an image name is a usage error naming the rule.
  for (const char* name : {"../escape", "a/b", "..", "", "x y", "MySim"}) {
    auto bad = run_in(session, work.path(), {"sim", "new", "-n", name, "-d", "x", "-l", "inner"});
    EXPECT_EQ(bad.exit_code, 2) << name;
    EXPECT_THAT(bad.err,
                HasSubstr("Error: --name: '" + std::string(name) + "' cannot name a simulator: "))
        << name;
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
