#include "term/status.hpp"

#include <algorithm>
#include <chrono>

#include "term/console.hpp"
#include "term/text.hpp"

namespace tarvo::term {
namespace {

constexpr std::string_view kFrames[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
constexpr auto kFrameTime = std::chrono::milliseconds(80);
constexpr std::string_view kEraseLine = "\r\x1b[2K";
constexpr std::string_view kHideCursor = "\x1b[?25l";
constexpr std::string_view kShowCursor = "\x1b[?25h";

void put(std::FILE* stream, std::string_view text) {
  // An empty view may hold a null pointer, which fwrite must not be given.
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

std::shared_ptr<LiveLine> shared_live_line(std::FILE* stream) {
  static const auto out = std::make_shared<LiveLine>(stdout);
  static const auto err = std::make_shared<LiveLine>(stderr);
  if (stream == stdout) return out;
  if (stream == stderr) return err;
  return std::make_shared<LiveLine>(stream);
}

void LiveLine::write(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (!line_.empty()) put(stream_, kEraseLine);
  put(stream_, text);
  if (!line_.empty()) put(stream_, line_);
  std::fflush(stream_);
}

void LiveLine::draw(std::string line) {
  std::lock_guard lock(mutex_);
  line_ = std::move(line);
  put(stream_, kEraseLine);
  put(stream_, line_);
  std::fflush(stream_);
}

void LiveLine::clear(std::string_view trailer) {
  std::lock_guard lock(mutex_);
  line_.clear();
  put(stream_, kEraseLine);
  put(stream_, trailer);
  std::fflush(stream_);
}

Status::Status(std::FILE* stream, std::string text, bool animate, std::shared_ptr<LiveLine> live)
    : stream_(stream),
      text_(std::move(text)),
      animate_(animate),
      styled_(use_color(stream)),
      live_(std::move(live)) {
  if (!animate_) return;
  if (!live_) live_ = std::make_shared<LiveLine>(stream_);
  live_->write(kHideCursor);
  thread_ = std::thread([this] { run(); });
}

Status::~Status() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  live_->clear(kShowCursor);
}

void Status::update(std::string text) {
  std::lock_guard lock(mutex_);
  text_ = std::move(text);
}

void Status::run() {
  std::unique_lock lock(mutex_);
  for (std::size_t frame = 0;; ++frame) {
    const auto spinner = kFrames[frame % std::size(kFrames)];
    std::string line =
        styled_ ? "\x1b[32m" + std::string(spinner) + "\x1b[0m " : std::string(spinner) + " ";
    line += render(text_, styled_, true);  // drawn on a terminal only
    std::replace(line.begin(), line.end(), '\n', ' ');
    // A line longer than the terminal would wrap, and only its last row would be erased.
    live_->draw(truncate(line, terminal_width(stream_) - 1));
    if (wake_.wait_for(lock, kFrameTime, [this] { return stop_.load(); })) return;
  }
}

}  // namespace tarvo::term
