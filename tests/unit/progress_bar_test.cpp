// The upload progress line.
#include "term/progress_bar.hpp"

#include <gtest/gtest.h>

using tarvo::term::ProgressUnit;
using tarvo::term::render_progress;

TEST(ProgressBar, FillsInProportionAndFitsTheWidth) {
  const std::string half = render_progress("Uploading a.tar.gz", 1'250'000, 2'500'000, 80);
  EXPECT_EQ(half, "Uploading a.tar.gz [####################--------------------]  50%  1.2/2.5 MB");
  EXPECT_LE(static_cast<int>(half.size()), 80);

  // Too narrow for a useful bar: the figures alone.
  EXPECT_EQ(render_progress("Uploading a.tar.gz", 1, 4, 40), "Uploading a.tar.gz  25%  0.0/0.0 MB");
  // More sent than announced (a retried chunk) never overflows the bar.
  EXPECT_EQ(render_progress("x", 9, 4, 32), "x [##########] 100%  0.0/0.0 MB");
}

TEST(ProgressBar, SamplesShowTheirCountAndRate) {
  EXPECT_EQ(render_progress("Benchmarking", 7500, 30000, 100, ProgressUnit::samples, 4210.4),
            "Benchmarking [##########------------------------------]  25%  7500/30000 samples  "
            "4210/s");
  EXPECT_EQ(render_progress("Benchmarking", 0, 10, 40, ProgressUnit::samples),
            "Benchmarking   0%  0/10 samples");
}
