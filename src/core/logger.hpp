#pragma once
// The core logger: lines on standard error, "<time> <LEVEL> <name>: <message>".
// TARVO_LOG_LEVEL ("info", the default, or "debug") sets what is shown. Messages may
// carry console markup ("[red]...[/red]"); the CLI installs a sink that renders it
// as its console does, and without one lines are written as they are.
#include <string>
#include <string_view>

namespace tarvo::core {

enum class LogLevel { debug, info };

class Logger {
 public:
  explicit Logger(std::string name);
  void info(std::string_view message) const;
  void debug(std::string_view message) const;
  const std::string& name() const { return name_; }

 private:
  void write(LogLevel level, std::string_view message) const;
  std::string name_;
  LogLevel level_;
};

Logger get_logger(std::string name);

// Receives each line that passes the level: its "<time> <LEVEL> <name>: " prefix and
// its message. Called from any thread that logs; one call per line.
using LogSink = void (*)(std::string_view prefix, std::string_view message);

// Installs the sink for the whole process (nullptr: back to plain standard error).
void set_log_sink(LogSink sink);

}  // namespace tarvo::core
