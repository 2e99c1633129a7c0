#pragma once
// The core logger: lines on standard error, "<time> <LEVEL> <name>: <message>".
// TARVO_LOG_LEVEL ("info", the default, or "debug") sets what is shown.
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

}  // namespace tarvo::core
