// `tarvo compute project` in a real terminal (tmux): the menu answers arrow keys.
#include <chrono>
#include <thread>

#include <gmock/gmock.h>

#include "compute_support.hpp"

namespace tarvo::test {
namespace {

using ProjectInTerminal = ComputeTest;

// Runs tmux with its own server socket; output captured.
core::process::Result tmux(const std::filesystem::path& socket, std::vector<std::string> args) {
  args.insert(args.begin(), {"tmux", "-S", socket.string()});
  core::process::Options options;
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  return core::process::run(args, options);
}

// Polls `done` for up to 20 seconds; a stuck terminal fails the test instead of hanging it.
template <typename Done>
bool wait_for(Done done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST_F(ProjectInTerminal, ArrowDownAndEnterChooseTheSecondProject) {
  if (!core::process::find_program("tmux")) GTEST_SKIP() << "tmux is not installed";
  start_scripted_platform(Json::parse(R"([{"method": "GET",
      "path": "/v1/organizations/org-1/projects", "responses": [{"status": 200,
      "content_type": "application/json",
      "body": "[{\"id\": \"p-1\", \"name\": \"alpha\"}, {\"id\": \"p-2\", \"name\": \"beta\"}]"}]}])"));
  write_state(connected_state());

  // The command runs from a script that records its exit code.
  const auto script = session_.home() / "run.sh";
  const auto rc_file = session_.home() / "rc";
  std::string text = "#!/bin/sh\n";
  for (const auto& [name, value] : session_.env())
    text += "export " + name + "='" + value + "'\n";
  text +=
      tarvo_binary().string() + " compute project\necho $? > " + rc_file.string() + "\nsleep 30\n";
  write_file(script, text);
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);

  const auto socket = session_.home() / "tmux.sock";
  struct KillServer {
    std::filesystem::path socket;
    ~KillServer() { tmux(socket, {"kill-server"}); }
  } kill_server{socket};
  ASSERT_EQ(tmux(socket, {"new-session", "-d", "-x", "100", "-y", "20", script.string()}).exit_code,
            0);
  ASSERT_TRUE(wait_for([&] {
    return tmux(socket, {"capture-pane", "-p"}).out.find("beta (uuid: p-2)") != std::string::npos;
  })) << tmux(socket, {"capture-pane", "-p"}).out;
  EXPECT_THAT(tmux(socket, {"capture-pane", "-p"}).out, testing::HasSubstr("Select a Project:"));
  tmux(socket, {"send-keys", "Down"});
  tmux(socket, {"send-keys", "Enter"});
  ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(rc_file); }))
      << tmux(socket, {"capture-pane", "-p"}).out;
  EXPECT_EQ(read_file(rc_file), "0\n");
  EXPECT_EQ(state()["project_id"], "p-2");
  EXPECT_THAT(tmux(socket, {"capture-pane", "-p"}).out, testing::HasSubstr("Project linked: beta"));
}

}  // namespace
}  // namespace tarvo::test
