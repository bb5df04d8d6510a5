#include "base/state.h"

#include "base/scratch_file.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

volatile std::sig_atomic_t running = 1;
volatile std::sig_atomic_t arecord_pid = 0;
volatile std::sig_atomic_t run_phase = phase_starting;
volatile std::sig_atomic_t finish_requested = 0;
volatile std::sig_atomic_t cancelled = 0;

namespace {

// Read end, write end; the handlers write one byte per request.
int wake_pipe[2] = {-1, -1};

void wake() {
    if (wake_pipe[1] >= 0) {
        const char byte = 1;
        // A full pipe already wakes its reader.
        [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
    }
}

void say(const char *message, size_t size) {
    write_all(STDOUT_FILENO, message, size);
}

// What a stop request does, whoever made it.
void request_stop() {
    running = 0;
    const pid_t child = arecord_pid;
    if (child > 0) {
        kill(child, SIGTERM);
    }
    wake();
}

// A second start of the program, by the same user: ends the recording, or
// cancels a run that has heard nobody yet, or leaves a run alone that is
// past stopping, and tells the sender which.
void second_start_handler(int /*signal_number*/, siginfo_t *info, void * /*context*/) {
    const int saved_errno = errno;
    const uid_t uid = getuid();
    if ((info->si_code != SI_USER && info->si_code != SI_QUEUE) ||
        (info->si_uid != uid && info->si_uid != 0)) {
        errno = saved_errno;
        return;
    }
    int answer = answer_busy;
    switch (run_phase) {
    case phase_starting:
    case phase_waiting:
        answer = answer_cancelled;
        break;
    case phase_recording_only:
        answer = answer_stopped;
        break;
    case phase_recording:
        answer = answer_finished;
        break;
    case phase_checking:
        answer = answer_checking;
        break;
    default:
        break;
    }
    if (answer == answer_cancelled || answer == answer_stopped) {
        if (running) {
            static const char message[] = "\nCancelled: tovu-voice was started again\n";
            say(message, sizeof message - 1);
        }
        cancelled = 1;
        request_stop();
    } else if (answer == answer_finished) {
        finish_requested = 1;
        wake();
    }
    union sigval value {};
    value.sival_int = answer;
    sigqueue(info->si_pid, answer_signal, value);
    errno = saved_errno;
}

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : stop_signals) {
        sigaddset(&set, signal_number);
    }
    sigaddset(&set, second_start_signal);
    return set;
}

} // namespace

void sigint_handler(int /*signal_number*/) {
    const int saved_errno = errno;
    request_stop();
    static const char message[] = "\nStopping program...\n";
    say(message, sizeof message - 1);
    errno = saved_errno;
}

void install_stop_handler() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = sigint_handler;
    action.sa_mask = handled_signals();
    action.sa_flags = 0;
    for (const int signal_number : stop_signals) {
        sigaction(signal_number, &action, nullptr);
    }
    struct sigaction second {};
    second.sa_sigaction = second_start_handler;
    second.sa_mask = handled_signals();
    second.sa_flags = SA_SIGINFO;
    sigaction(second_start_signal, &second, nullptr);
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
