#include "base/state.h"

#include "base/scratch_file.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

volatile std::sig_atomic_t running = 1;
volatile std::sig_atomic_t arecord_pid = 0;

void sigint_handler(int /*signal_number*/) {
    const int saved_errno = errno;
    running = 0;
    const pid_t child = arecord_pid;
    if (child > 0) {
        kill(child, SIGTERM);
    }
    static const char message[] = "\nStopping program...\n";
    write_all(STDOUT_FILENO, message, sizeof message - 1);
    errno = saved_errno;
}
