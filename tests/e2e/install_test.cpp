// An installed tree works on its own: the executable finds its command library
// and data files relative to itself, and links none of the heavy libraries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.hpp"

using testing::HasSubstr;
using testing::Not;

namespace tarvo::test {
namespace {

core::process::Result run_captured(const std::vector<std::string>& argv) {
  core::process::Options options;
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  return core::process::run(argv, options);
}

// `session` running the tarvo at `prefix`/bin/tarvo instead of the build's.
core::process::Result run_installed(Session& session, const std::filesystem::path& prefix,
                                    std::vector<std::string> args) {
  args.insert(args.begin(), (prefix / "bin" / "tarvo").string());
  core::process::Options options;
  options.environment = session.env();
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  options.input = "";
  return core::process::run(args, options);
}

TEST(InstalledTree, RunsFromItsPrefixWithTheCommandLibraryLoadedOnDemand) {
  ScratchDir prefix;
  const auto install =
      run_captured({"cmake", "--install", TARVO_BUILD_DIR, "--prefix", prefix.path().string()});
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  for (const char* file :
       {"bin/tarvo", "lib/tarvo/libtarvo_bodies.so", "share/tarvo/compute/docker-compose.yml"})
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix.path() / file)) << file;

  // The executable itself never pays for the heavy libraries.
  const auto linked = run_captured({"ldd", (prefix.path() / "bin/tarvo").string()});
  ASSERT_EQ(linked.exit_code, 0) << linked.err;
  for (const char* heavy : {"libcurl", "libgrpc", "libprotobuf", "libarchive"})
    EXPECT_THAT(linked.out, Not(HasSubstr(heavy))) << linked.out;

  Session session;
  const auto help = run_installed(session, prefix.path(), {"--help"});
  EXPECT_EQ(help.exit_code, 0) << help.err;
  EXPECT_THAT(help.out, HasSubstr("compute"));

  // A command whose body talks HTTP: the library was found and opened, and the
  // body's HTTP client reported the unreachable platform.
  const auto body = run_installed(session, prefix.path(), {"sim", "list"});
  EXPECT_EQ(body.exit_code, 1) << body.err;
  EXPECT_THAT(body.err, HasSubstr("Error: cannot reach the platform (GET http://127.0.0.1:9/v1/"))
      << body.err;

  // Without its library beside it the same command fails with a one-line error.
  std::filesystem::remove(prefix.path() / "lib/tarvo/libtarvo_bodies.so");
  const auto missing = run_installed(session, prefix.path(), {"sim", "list"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_THAT(missing.err, testing::StartsWith("Error: cannot load "));
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
}

}  // namespace
}  // namespace tarvo::test
