#pragma once
// A one-line progress bar for long work (a transfer, packaging, a benchmark), redrawn
// in place on a terminal and not shown at all elsewhere (logs and pipes get no
// carriage-return noise).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::term {

// What the figures after the bar count.
enum class ProgressUnit {
  bytes,    // "1.2/2.4 MB"
  samples,  // "15000/30000 samples  4210/s"
};

// "label [#####-----]  50%  <figures>", fitted to `width` columns; the bar is left
// out when there is no room for a useful one. `per_second` is shown for samples.
std::string render_progress(std::string_view label, std::uint64_t done, std::uint64_t total,
                            int width, ProgressUnit unit = ProgressUnit::bytes,
                            std::optional<double> per_second = std::nullopt);

class LiveLine;

class ProgressBar {
 public:
  ProgressBar(std::FILE* stream, std::string label, ProgressUnit unit = ProgressUnit::bytes);
  // Removes the line, also when the work failed.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // The rate of samples is measured from the first update.
  void update(std::uint64_t done, std::uint64_t total);

 private:
  std::FILE* stream_;
  std::shared_ptr<LiveLine> live_;  // lines printed meanwhile go above the bar
  std::string label_;
  ProgressUnit unit_;
  bool active_;
  bool drawn_ = false;
  int last_permille_ = -1;
  std::optional<std::chrono::steady_clock::time_point> started_;
  std::optional<std::chrono::steady_clock::time_point> last_drawn_;
  static constexpr std::chrono::milliseconds kRedrawInterval{250};
};

}  // namespace tarvo::term
