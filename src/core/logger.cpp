#include "core/logger.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

namespace tarvo::core {
namespace {

// Set once by the CLI before any command runs; atomic because servers log from
// several threads.
std::atomic<LogSink> installed_sink{nullptr};

LogLevel level_from_environment() {
  const char* level = std::getenv("TARVO_LOG_LEVEL");
  return level && std::string_view(level) == "debug" ? LogLevel::debug : LogLevel::info;
}

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

Logger::Logger(std::string name) : name_(std::move(name)), level_(level_from_environment()) {}

void Logger::info(std::string_view message) const {
  write(LogLevel::info, message);
}

void Logger::debug(std::string_view message) const {
  write(LogLevel::debug, message);
}

void Logger::write(LogLevel level, std::string_view message) const {
  if (level < level_) return;
  std::string line = timestamp();
  line += level == LogLevel::debug ? " DEBUG " : " INFO ";
  line += name_;
  line += ": ";
  if (const LogSink sink = installed_sink.load()) {
    sink(line, message);
    return;
  }
  line += message;
  line += '\n';
  // One write per line, so lines of concurrent writers never interleave mid-line.
  std::string_view rest(line);
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;  // a closed stderr is no reason to fail the command
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

Logger get_logger(std::string name) {
  return Logger(std::move(name));
}

void set_log_sink(LogSink sink) {
  installed_sink.store(sink);
}

}  // namespace tarvo::core
