// A stand-in simulator for the engine tests, linked statically so that an image
// FROM scratch can hold it alone. It says what it was started with on standard
// output and standard error, then either serves (sleeps until SIGTERM or SIGINT)
// or ends.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool serve = argc > 1 && std::strcmp(argv[1], "--serve") == 0;
  std::signal(SIGTERM, request_stop);
  std::signal(SIGINT, request_stop);

  const char* historian = std::getenv("IS_HISTORIAN_ENABLED");
  std::printf("echo-sim started\n");
  std::printf("historian=%s\n", historian ? historian : "unset");
  std::fflush(stdout);
  std::fprintf(stderr, "echo-sim diagnostics on stderr\n");
  if (!serve) {
    std::printf("echo-sim done\n");
    return 0;
  }
  while (!stop_requested)
    pause();
  std::printf("echo-sim stopping\n");
  return 0;
}
