#include "term/menu.hpp"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "core/interrupt.hpp"
#include "core/os/os.hpp"
#include "term/console.hpp"
#include "term/prompt.hpp"
#include "term/text.hpp"

namespace tarvo::term {
namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Keys arrive one by one, unechoed, and Ctrl-C arrives as a byte so that the menu
// ends through its own cleanup. The saved mode is restored on every way out.
class RawMode {
 public:
  explicit RawMode(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) throw_errno("cannot read the terminal mode");
    termios raw = saved_;
    raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW rather than TCSAFLUSH: keys typed ahead must not be lost.
    if (tcsetattr(fd_, TCSANOW, &raw) != 0) throw_errno("cannot set the terminal mode");
  }
  ~RawMode() { tcsetattr(fd_, TCSANOW, &saved_); }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;

 private:
  int fd_;
  termios saved_{};
};

enum class Key { kUp, kDown, kHome, kEnd, kEnter, kCancel, kOther };

// How long the rest of an escape sequence may take; a lone Esc is followed by nothing.
constexpr int kSequenceWaitMs = 50;

class KeyReader {
 public:
  explicit KeyReader(int fd) : fd_(fd) {}

  Key next() {
    const int b = byte(-1);
    switch (b) {
      case -1:    // end of input
      case 0x04:  // Ctrl-D
      case 'q':
        return Key::kCancel;
      case 0x03:  // Ctrl-C
        throw core::Interrupted{};
      case '\r':
      case '\n':
        return Key::kEnter;
      case 'j':
        return Key::kDown;
      case 'k':
        return Key::kUp;
      case 0x1b:
        return escape_sequence();
      default:
        return Key::kOther;
    }
  }

 private:
  Key escape_sequence() {
    const int introducer = byte(kSequenceWaitMs);
    if (introducer < 0) return Key::kCancel;
    if (introducer != '[' && introducer != 'O') return Key::kOther;
    for (;;) {  // parameters, then one final byte
      const int b = byte(kSequenceWaitMs);
      if (b < 0) return Key::kOther;
      if (b < 0x40 || b > 0x7E) continue;
      switch (b) {
        case 'A':
          return Key::kUp;
        case 'B':
          return Key::kDown;
        case 'H':
          return Key::kHome;
        case 'F':
          return Key::kEnd;
        default:
          return Key::kOther;
      }
    }
  }

  // One byte, or -1 at end of input or when `timeout_ms` passes first. An interrupt
  // signal (sent by something other than the keyboard) throws core::Interrupted.
  int byte(int timeout_ms) {
    for (;;) {
      core::interrupt::check();
      core::os::Readiness readiness;
      try {
        readiness = core::os::wait_readable(fd_, core::interrupt::wake_fd(), timeout_ms);
      } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "cannot wait for a key");
      }
      if (readiness == core::os::Readiness::timed_out) return -1;
      if (readiness == core::os::Readiness::woken) continue;  // check() decides
      unsigned char c = 0;
      const ssize_t n = read(fd_, &c, 1);
      if (n == 1) return c;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EIO) throw_errno("cannot read a key");
      return -1;  // end of input, or the terminal hung up
    }
  }

  int fd_;
};

// The rows the menu occupies below the cursor's starting row, redrawn in place and
// erased when the menu closes.
class Screen {
 public:
  explicit Screen(std::FILE* out) : out_(out) {}
  ~Screen() {
    std::string text = back_to_start();
    text += "\x1b[J\x1b[?25h";
    write(text);
  }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  void draw(const std::vector<std::string>& lines) {
    std::string text = drawn_ == 0 ? "\x1b[?25l" : back_to_start();
    text += "\x1b[J";
    for (const auto& line : lines)
      text += line + "\r\n";
    drawn_ = lines.size();
    write(text);
  }

 private:
  std::string back_to_start() const {
    return drawn_ > 0 ? "\x1b[" + std::to_string(drawn_) + "A\r" : std::string("\r");
  }
  void write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  std::FILE* out_;
  std::size_t drawn_ = 0;
};

// Entries come from outside: their control characters show as escapes, and a line
// break or a tab, which would upset the drawing, as a space.
std::string printable(std::string_view text) {
  std::string out = visible_controls(text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
  return out;
}

int terminal_rows(std::FILE* out) {
  winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

}  // namespace

std::optional<std::size_t> Menu::show(std::FILE* in, std::FILE* out) const {
  if (entries_.empty()) return std::nullopt;
  if (isatty(fileno(in)) && isatty(fileno(out))) return show_terminal(fileno(in), out);
  return show_numbered(in, out);
}

std::optional<std::size_t> Menu::show_terminal(int in_fd, std::FILE* out) const {
  std::fflush(out);
  const bool styled = use_color(out);
  const std::size_t count = entries_.size();
  std::size_t chosen = 0;
  std::size_t top = 0;  // first entry shown when they do not all fit

  RawMode raw(in_fd);
  Screen screen(out);
  KeyReader keys(in_fd);
  for (;;) {
    const int columns = terminal_width(out);
    const int title_rows = title_.empty() ? 0 : 1;
    // One row stays free so that the last line's newline never scrolls the title away.
    const std::size_t visible = static_cast<std::size_t>(
        std::clamp(terminal_rows(out) - 1 - title_rows, 1, static_cast<int>(count)));
    if (chosen < top) top = chosen;
    if (chosen >= top + visible) top = chosen - visible + 1;

    std::vector<std::string> lines;
    if (title_rows) lines.push_back(truncate(printable(title_), columns - 1));
    for (std::size_t i = top; i < top + visible; ++i) {
      const std::string entry = truncate(printable(entries_[i]), columns - 3);
      if (i != chosen)
        lines.push_back("  " + entry);
      else if (styled)
        lines.push_back("\x1b[1m> \x1b[0m\x1b[7m" + entry + "\x1b[0m");
      else
        lines.push_back("> " + entry);
    }
    screen.draw(lines);

    switch (keys.next()) {
      case Key::kUp:
        chosen = (chosen + count - 1) % count;
        break;
      case Key::kDown:
        chosen = (chosen + 1) % count;
        break;
      case Key::kHome:
        chosen = 0;
        break;
      case Key::kEnd:
        chosen = count - 1;
        break;
      case Key::kEnter:
        return chosen;
      case Key::kCancel:
        return std::nullopt;
      case Key::kOther:
        break;
    }
  }
}

std::optional<std::size_t> Menu::show_numbered(std::FILE* in, std::FILE* out) const {
  std::string listing;
  if (!title_.empty()) listing += for_stream(title_, out) + "\n";
  for (std::size_t i = 0; i < entries_.size(); ++i)
    listing += "  " + std::to_string(i + 1) + ") " + for_stream(entries_[i], out) + "\n";
  std::fputs(listing.c_str(), out);
  // Unless a terminal echoed the answer into the same output, the prompt's line is
  // still open: end it, so that later output starts on a line of its own.
  const bool echoed = isatty(fileno(in)) && isatty(fileno(out));
  for (;;) {
    std::fputs("Enter a number (empty to cancel): ", out);
    std::fflush(out);
    auto answer = read_line(in);
    if (!answer || !echoed) {
      std::fputc('\n', out);
      std::fflush(out);
    }
    if (!answer) return std::nullopt;
    std::string_view text = *answer;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
      text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
      text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size() && number >= 1 &&
        number <= entries_.size())
      return number - 1;
    std::fprintf(out, "Please enter a number from 1 to %zu, or nothing to cancel.\n",
                 entries_.size());
  }
}

}  // namespace tarvo::term
