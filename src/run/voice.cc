// tovu-voice: listens for one spoken request, transcribes it and hands it to
// the assistant's processor.
#include "base/instance_lock.h"
#include "base/state.h"
#include "capture/recorder.h"
#include "run/driver.h"

#include <csignal>
#include <cstdio>

int main() {
    std::puts("Speech-to-Text in real time with Vosk API (without Python)");
    std::puts("======================================================");
    install_stop_handler();

    const InstanceLock lock = lock_instance();
    if (lock.busy()) {
        std::fflush(stdout);
        std::fputs("Error: Another tovu-voice is already running\n", stderr);
        return exit_failure;
    }

    const char *model_path = find_model(model_candidates());
    if (model_path == nullptr) {
        return run_record_only();
    }
    return run_recognition(model_path);
}
