#include "term/progress_bar.hpp"

#include <unistd.h>

#include <algorithm>

#include "term/console.hpp"

namespace tarvo::term {

namespace {

std::string megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

std::string render_progress(std::string_view label, std::uint64_t done, std::uint64_t total,
                            int width) {
  done = std::min(done, total);
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  char tail[64];
  std::snprintf(tail, sizeof tail, " %3d%%  %s/%s MB", percent, megabytes(done).c_str(),
                megabytes(total).c_str());
  // Labels are file names, made of plain characters: bytes are columns.
  std::string line(label);
  const int bar = std::min(40, width - static_cast<int>(line.size()) -
                                   static_cast<int>(std::string_view(tail).size()) - 4);
  if (bar >= 10) {
    const int filled =
        total == 0 ? bar : static_cast<int>(done * static_cast<std::uint64_t>(bar) / total);
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(bar - filled), '-') + "]";
  }
  return line + tail;
}

ProgressBar::ProgressBar(std::FILE* stream, std::string label)
    : stream_(stream), label_(std::move(label)), active_(::isatty(::fileno(stream)) != 0) {}

ProgressBar::~ProgressBar() {
  if (drawn_) {
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
  }
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!active_ || total == 0) return;
  // Redraw only when the bar moves: libcurl reports many times a second.
  const int permille = static_cast<int>(std::min(done, total) * 1000 / total);
  if (permille == last_permille_) return;
  last_permille_ = permille;
  const std::string line = render_progress(label_, done, total, terminal_width(stream_) - 1);
  std::fprintf(stream_, "\r\033[K%s", line.c_str());
  std::fflush(stream_);
  drawn_ = true;
}

}  // namespace tarvo::term
