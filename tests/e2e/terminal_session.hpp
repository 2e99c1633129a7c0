#pragma once
// `tarvo` in a real terminal: a tmux server of its own runs one command line in an
// 80x24 window, whose screen, title and exit status the test reads.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/process.hpp"
#include "harness.hpp"

namespace tarvo::test {

class TerminalSession {
 public:
  // `session` gives the environment. The socket, script and exit status live in a
  // folder of this terminal's own, so that terminals one after another never meet.
  explicit TerminalSession(Session& session)
      : socket_(dir_.path() / "tmux.sock"), env_(session_env(session)) {}
  ~TerminalSession() { tmux({"kill-server"}); }
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  static bool available() { return core::process::find_program("tmux").has_value(); }

  // Runs `tarvo args...`; the window stays open after it ends.
  void start(const std::vector<std::string>& args) {
    // The shell outlives a Ctrl-C meant for tarvo, to record its exit status (a trap
    // with a command, unlike an ignored signal, is not inherited).
    std::string script = "#!/bin/sh\ntrap : INT\n";
    for (const auto& [name, value] : env_)
      script += "export " + name + "=" + quoted(value) + "\n";
    script += quoted(tarvo_binary().string());
    for (const auto& arg : args)
      script += " " + quoted(arg);
    script += "\necho $? > " + quoted(rc_file().string()) + "\nsleep 60\n";
    const auto path = dir_.path() / "run.sh";
    std::ofstream(path) << script;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    tmux({"new-session", "-d", "-x", "80", "-y", "24", path.string()});
  }

  std::string screen() const { return tmux({"capture-pane", "-p"}).out; }
  std::string title() const { return tmux({"display-message", "-p", "#{pane_title}"}).out; }
  void keys(const std::string& keys) const { tmux({"send-keys", keys}); }

  // Polls `done` for up to 30 seconds; a stuck terminal fails the test, not hangs it.
  template <typename Done>
  bool wait_for(Done done) const {
    for (int i = 0; i < 300; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool shows(const std::string& text) const {
    return wait_for([&] { return screen().find(text) != std::string::npos; });
  }

  // The command's exit status, once it has ended; -1 when it does not end in time.
  int exit_code() const {
    if (!wait_for([&] { return std::filesystem::exists(rc_file()); })) return -1;
    std::string text;
    wait_for([&] {
      std::ifstream in(rc_file());
      return static_cast<bool>(std::getline(in, text));
    });
    return text.empty() ? -1 : std::stoi(text);
  }

 private:
  static core::process::Environment session_env(Session& session) {
    auto env = session.env();
    env.erase("COLUMNS");  // the terminal's own width counts
    env["TERM"] = "xterm";
    return env;
  }
  static std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
      out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  std::filesystem::path rc_file() const { return dir_.path() / "rc"; }
  core::process::Result tmux(std::vector<std::string> args) const {
    args.insert(args.begin(), {"tmux", "-S", socket_.string()});
    core::process::Options options;
    options.out = core::process::Stream::capture;
    options.err = core::process::Stream::capture;
    return core::process::run(args, options);
  }

  ScratchDir dir_;
  std::filesystem::path socket_;
  core::process::Environment env_;
};

}  // namespace tarvo::test
