// Process-wide run state shared by every stage, and the Ctrl-C handler that
// ends a run in order.
#pragma once

#include <csignal>

// 1 while the run may go on; cleared for good by the first SIGINT.
extern volatile std::sig_atomic_t running;

// Process id of the recorder child while it is waited for, 0 otherwise.
extern volatile std::sig_atomic_t arecord_pid;

// SIGINT handler: clears `running`, sends SIGTERM to the recorder child if
// there is one, and writes "\nStopping program...\n" with write(2) only.
void sigint_handler(int signal_number);
