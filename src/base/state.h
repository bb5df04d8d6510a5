// Process-wide run state and the stop handler (Ctrl-C, SIGTERM, SIGHUP).
#pragma once

#include <csignal>

// Exit statuses of the program.
enum ExitStatus { exit_ok = 0, exit_failure = 1 };

// 1 while the run may go on; cleared for good by the first stop request.
extern volatile std::sig_atomic_t running;

// Process id of the recorder child while it is waited for, 0 otherwise.
extern volatile std::sig_atomic_t arecord_pid;

// The signals that ask for an orderly stop: Ctrl-C, a desktop or `timeout`
// ending the program, and a terminal that closes.
inline constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Stop handler: clears `running`, sends SIGTERM to the recorder child if
// there is one, wakes stop_wake_fd() and writes "\nStopping program...\n"
// with write(2) only.
void sigint_handler(int signal_number);

// Installs sigint_handler for every stop signal. Blocking calls that a stop
// interrupts fail with EINTR instead of being restarted, so that no wait
// outlives a stop request. Also makes a write to a closed pipe fail rather
// than end the process.
void install_stop_handler();

// A descriptor that becomes readable once a stop has been requested, for
// waits that poll; -1 before install_stop_handler().
int stop_wake_fd();
