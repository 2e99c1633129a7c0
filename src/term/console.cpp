#include "term/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "term/pretty.hpp"
#include "term/status.hpp"
#include "term/table.hpp"

namespace tarvo::term {
namespace {

struct Style {
  std::string_view name;
  std::string_view on;
};
constexpr std::array<Style, 4> kStyles = {{
    {"red", "\x1b[31m"},
    {"green", "\x1b[32m"},
    {"yellow", "\x1b[33m"},
    {"bold", "\x1b[1m"},
}};

const Style* find_style(std::string_view name) {
  for (const auto& style : kStyles)
    if (style.name == name) return &style;
  return nullptr;
}

bool env_set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '[' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string for_stream(std::string_view text, std::FILE* stream) {
  return isatty(fileno(stream)) ? visible_controls(text) : std::string(text);
}

std::string render(std::string_view given, bool styled, bool terminal) {
  std::string shown;
  if (terminal) shown = visible_controls(given);
  const std::string_view markup = terminal ? std::string_view(shown) : given;
  std::string out;
  out.reserve(markup.size());
  std::vector<const Style*> open;  // styles in force, innermost last
  auto reapply = [&] {
    out += "\x1b[0m";
    for (const auto* style : open)
      out += style->on;
  };
  for (std::size_t i = 0; i < markup.size(); ++i) {
    const char c = markup[i];
    if (c == '\\' && i + 1 < markup.size() && (markup[i + 1] == '[' || markup[i + 1] == '\\')) {
      out += markup[++i];
      continue;
    }
    if (c == '[') {
      const auto end = markup.find(']', i);
      if (end != std::string_view::npos) {
        std::string_view tag = markup.substr(i + 1, end - i - 1);
        const bool closing = !tag.empty() && tag.front() == '/';
        if (closing) tag.remove_prefix(1);
        if (const Style* style = find_style(tag)) {
          if (styled) {
            if (!closing) {
              open.push_back(style);
              out += style->on;
            } else {
              for (auto it = open.rbegin(); it != open.rend(); ++it) {
                if (*it == style) {
                  open.erase(std::next(it).base());
                  break;
                }
              }
              reapply();
            }
          }
          i = end;
          continue;
        }
      }
    }
    out += c;
  }
  if (styled && !open.empty()) out += "\x1b[0m";
  return out;
}

bool use_color(std::FILE* stream) {
  if (env_set("FORCE_COLOR")) return true;
  if (env_set("NO_COLOR")) return false;
  if (const char* term = std::getenv("TERM"); term && std::string_view(term) == "dumb")
    return false;
  return isatty(fileno(stream));
}

int terminal_width(std::FILE* stream) {
  winsize size{};
  if (isatty(fileno(stream)) && ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0 && value < 10000)
      return static_cast<int>(value);
  }
  return 80;
}

void write_log_line(std::string_view prefix, std::string_view message) {
  const bool terminal = isatty(STDERR_FILENO);
  std::string line(prefix);
  line += render(message, use_color(stderr), terminal);
  line += '\n';
  // Whole lines under the live line's lock (servers log from several threads), above
  // any progress bar on standard error.
  shared_live_line(stderr)->write(line);
}

Console::Console(std::FILE* stream)
    : stream_(stream),
      live_(shared_live_line(stream)),
      terminal_(isatty(fileno(stream))),
      styled_(use_color(stream)) {}

void Console::write(std::string_view text) const {
  live_->write(text);
}

int Console::width() const {
  return terminal_width(stream_);
}

void Console::print(std::string_view markup) const {
  std::string line = render(markup, styled_, terminal_);
  line += '\n';
  write(line);
}

void Console::print_plain(std::string_view text) const {
  std::string line(text);
  line += '\n';
  write(line);
}

void Console::print_json_text(std::string_view text) const {
  std::string line = terminal_ ? visible_controls(text) : std::string(text);
  line += '\n';
  write(line);
}

void Console::print_json(const nlohmann::ordered_json& value) const {
  print_json_text(value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void Console::log(std::string_view markup) const {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  const std::string time = std::string("[") + stamp + "]";
  const std::string indent(time.size() + 1, ' ');
  std::string line = (styled_ ? "\x1b[2;36m" + time + "\x1b[0m" : time) + " ";
  for (char c : render(markup, styled_, terminal_)) {
    line += c;
    if (c == '\n') line += indent;
  }
  line += '\n';
  write(line);
}

void Console::print_pretty(const nlohmann::ordered_json& value) const {
  print(escape(python_pretty(value, width())));
}

void Console::print_table(const Table& table) const {
  for (const auto& line : table.render(width(), styled_, terminal_))
    print_plain(line);
}

std::unique_ptr<Status> Console::status(std::string_view text) const {
  return std::make_unique<Status>(stream_, std::string(text), terminal_, live_);
}

}  // namespace tarvo::term
