// tovu-voice: listens for one spoken request, transcribes it and hands it to
// the assistant's processor. Started again while a run goes on, it ends that
// run's recording, or cancels a run that has heard nobody yet.
#include "base/instance_lock.h"
#include "base/state.h"
#include "capture/recorder.h"
#include "run/driver.h"

#include <csignal>
#include <cstdio>

namespace {

// What a second start did to the run already going on, in one line.
int tell_second_start(int answer) {
    const char *done = nullptr;
    switch (answer) {
    case answer_cancelled:
        done = "Cancelled the tovu-voice that was running: it had heard nobody yet";
        break;
    case answer_finished:
        done = "Ended the recording of the tovu-voice that was running: it hands your request on";
        break;
    case answer_stopped:
        done = "Stopped the recording of the tovu-voice that was running";
        break;
    case answer_busy:
        done = "The tovu-voice that was running has finished listening: left alone";
        break;
    case 0:
        done = "The tovu-voice that was running has just ended";
        break;
    case answer_checking:
        std::fflush(stdout);
        std::fputs("Error: tovu-voice-check-mic is running: tovu-voice cannot listen beside "
                   "it; start it once the check has ended\n",
                   stderr);
        return exit_failure;
    default:
        std::fflush(stdout);
        std::fputs("Error: Another tovu-voice is running and does not answer\n", stderr);
        return exit_failure;
    }
    std::puts(done);
    return exit_ok;
}

} // namespace

int main() {
    std::puts("Speech-to-Text in real time with Vosk API (without Python)");
    std::puts("======================================================");
    install_stop_handler();

    const InstanceLock lock = lock_instance();
    if (lock.busy()) {
        return tell_second_start(ask_lock_holder(lock));
    }

    const char *model_path = find_model(model_candidates());
    if (model_path == nullptr) {
        return run_record_only();
    }
    return run_recognition(model_path);
}
