#pragma once
// A one-line progress bar for a transfer, redrawn in place on a terminal and not
// shown at all elsewhere (logs and pipes get no carriage-return noise).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tarvo::term {

// "label [#####-----]  50%  1.2/2.4 MB", fitted to `width` columns.
std::string render_progress(std::string_view label, std::uint64_t done, std::uint64_t total,
                            int width);

class ProgressBar {
 public:
  ProgressBar(std::FILE* stream, std::string label);
  // Removes the line, also when the transfer failed.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(std::uint64_t done, std::uint64_t total);

 private:
  std::FILE* stream_;
  std::string label_;
  bool active_;
  bool drawn_ = false;
  int last_permille_ = -1;
};

}  // namespace tarvo::term
