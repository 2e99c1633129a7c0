// The interrupt flag: SIGINT, SIGTERM and SIGHUP alike, and a signal that was ignored
// when the process started (nohup) stays ignored.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/interrupt.hpp"

namespace {

namespace interrupt = tarvo::core::interrupt;

TEST(Interrupt, EachOfTheThreeSignalsSetsTheFlag) {
  interrupt::install();
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    interrupt::clear();
    ::kill(::getpid(), signal_number);  // delivered before kill returns: not blocked here
    EXPECT_TRUE(interrupt::requested()) << signal_number;
    EXPECT_THROW(interrupt::check(), tarvo::core::Interrupted);
  }
  interrupt::clear();
}

TEST(Interrupt, ASignalIgnoredAtStartStaysIgnored) {
  interrupt::install();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction installed {};
  ::sigaction(SIGHUP, &ignore, &installed);
  interrupt::install();  // as after `nohup tarvo ...`
  interrupt::clear();
  ::kill(::getpid(), SIGHUP);
  EXPECT_FALSE(interrupt::requested());
  ::sigaction(SIGHUP, &installed, nullptr);  // as the other tests expect it
}

}  // namespace
