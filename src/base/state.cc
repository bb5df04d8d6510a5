#include "base/state.h"

#include "base/scratch_file.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

volatile std::sig_atomic_t running = 1;
volatile std::sig_atomic_t arecord_pid = 0;

namespace {

// Read end, write end; the handler writes one byte per stop request.
int wake_pipe[2] = {-1, -1};

} // namespace

void sigint_handler(int /*signal_number*/) {
    const int saved_errno = errno;
    running = 0;
    const pid_t child = arecord_pid;
    if (child > 0) {
        kill(child, SIGTERM);
    }
    if (wake_pipe[1] >= 0) {
        const char byte = 1;
        // A full pipe already wakes its reader.
        [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
    }
    static const char message[] = "\nStopping program...\n";
    write_all(STDOUT_FILENO, message, sizeof message - 1);
    errno = saved_errno;
}

void install_stop_handler() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = sigint_handler;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : stop_signals) {
        sigaddset(&action.sa_mask, signal_number);
    }
    action.sa_flags = 0;
    for (const int signal_number : stop_signals) {
        sigaction(signal_number, &action, nullptr);
    }
    // A reader of standard output that has gone (a pipeline that a closed
    // terminal ended) must not kill the run half-way: writes to it fail
    // instead. A handler, unlike ignoring the signal, is not passed on to the
    // programs the run starts.
    struct sigaction pipe_action {};
    pipe_action.sa_handler = [](int) {};
    sigemptyset(&pipe_action.sa_mask);
    sigaction(SIGPIPE, &pipe_action, nullptr);
}

int stop_wake_fd() {
    return wake_pipe[0];
}
