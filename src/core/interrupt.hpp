#pragma once
// Interrupt handling. Ctrl-C (SIGINT), SIGTERM (kill, timeout, systemd, docker stop)
// and SIGHUP (the terminal went away) only set a flag (and wake a pipe, so that
// poll-based waits return at once); blocking waits notice it and throw Interrupted.
// All three get the same cleanup: nothing a command started may outlive it.
#include <chrono>

namespace tarvo::core {

// The user's (or the system's) interrupt. Deliberately not a std::exception, so that handlers for
// ordinary failures let it pass.
struct Interrupted {};

namespace interrupt {

// Installs the handler for SIGINT, SIGTERM and SIGHUP (idempotent), except for those
// ignored when the process started (nohup). Interrupted system calls are not restarted.
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
