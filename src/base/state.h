// Process-wide run state, the stop handler (Ctrl-C, SIGTERM, SIGHUP) and the
// answer to a second start of the program while a run goes on.
#pragma once

#include <csignal>

// Exit statuses of the program.
enum ExitStatus { exit_ok = 0, exit_failure = 1 };

// 1 while the run may go on; cleared for good by the first stop request.
extern volatile std::sig_atomic_t running;

// Process id of the recorder child while it is waited for, 0 otherwise.
extern volatile std::sig_atomic_t arecord_pid;

// What the run is doing, as a second start finds it. The main flow moves it
// forward; the handler of a second start reads it.
enum RunPhase {
    phase_starting,       // set-up, up to the first chunk read
    phase_waiting,        // listening, nobody has spoken yet
    phase_recording,      // speech has begun
    phase_recording_only, // the recorder of a run without a model
    phase_busy,           // transcribing and handing on: past stopping
    phase_checking,       // the microphone check
};
extern volatile std::sig_atomic_t run_phase;

// Set when a second start cancelled the run (which also clears `running`):
// it no longer invites anyone to speak.
extern volatile std::sig_atomic_t cancelled;

// Set when a second start ended the recording: the capture ends as if the
// silence had come.
extern volatile std::sig_atomic_t finish_requested;

// The signals that ask for an orderly stop: Ctrl-C, a desktop or `timeout`
// ending the program, and a terminal that closes.
inline constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// A second start asks the run with this signal; the run answers the sender
// with answer_signal, its value one of SecondStartAnswer.
inline constexpr int second_start_signal = SIGUSR1;
inline constexpr int answer_signal = SIGUSR2;
enum SecondStartAnswer {
    answer_cancelled = 1, // it stopped as on Ctrl-C
    answer_finished,      // its recording ended; the request goes on
    answer_stopped,       // its recorder (no model) was stopped
    answer_busy,          // it transcribes or hands on: left alone
    answer_checking,      // it is the microphone check: left alone
};

// Stop handler: clears `running`, sends SIGTERM to the recorder child if
// there is one, wakes stop_wake_fd() and writes "\nStopping program...\n"
// with write(2) only.
void sigint_handler(int signal_number);

// Installs sigint_handler for every stop signal and the answer to a second
// start. Blocking calls that a stop interrupts fail with EINTR instead of
// being restarted, so that no wait outlives a stop request. Also makes a
// write to a closed pipe fail rather than end the process.
void install_stop_handler();

// A descriptor that becomes readable once a stop or a finish has been
// requested, for waits that poll; -1 before install_stop_handler().
int stop_wake_fd();
