#pragma once
// Ctrl-C handling. SIGINT only sets a flag (and wakes a pipe, so that poll-based
// waits return at once); blocking waits notice it and throw Interrupted.
#include <chrono>

namespace tarvo::core {

// The user's interrupt. Deliberately not a std::exception, so that handlers for
// ordinary failures let it pass.
struct Interrupted {};

namespace interrupt {

// Installs the SIGINT handler (idempotent). Interrupted system calls are not restarted.
void install();

bool requested();
void clear();

// Throws Interrupted when an interrupt is pending.
void check();

// A descriptor that becomes readable when an interrupt arrives; -1 before install().
int wake_fd();

// Sleeps for `seconds`, throwing Interrupted as soon as the user interrupts.
void sleep_for(std::chrono::duration<double> seconds);

}  // namespace interrupt
}  // namespace tarvo::core
