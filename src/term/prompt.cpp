#include "term/prompt.hpp"

#include <cerrno>

#include "core/interrupt.hpp"

namespace tarvo::term {

std::optional<std::string> read_line(std::FILE* in) {
  std::string line;
  for (;;) {
    // SIGINT is installed without SA_RESTART, so a blocked read returns EINTR.
    core::interrupt::check();
    errno = 0;
    const int c = std::fgetc(in);
    if (c == EOF) {
      if (std::ferror(in) && errno == EINTR) {
        std::clearerr(in);
        continue;  // check() above decides whether it was Ctrl-C
      }
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string prompt(const std::string& text, const std::string& default_value, std::FILE* in,
                   std::FILE* out) {
  std::string shown = text;
  if (!default_value.empty()) shown += " [" + default_value + "]";
  shown += ": ";
  std::fputs(shown.c_str(), out);
  std::fflush(out);
  auto answer = read_line(in);
  if (!answer) throw Aborted{};  // the host ends the prompt's line and says "Aborted!"
  return answer->empty() ? default_value : *answer;
}

}  // namespace tarvo::term
