#include "capture/recorder.h"

#include "base/feedback.h"
#include "base/notify.h"
#include "base/scratch_file.h"
#include "base/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Blocks the stop signals for its lifetime, so that the stop handler cannot
// run between the fork and the moment the child's id is known.
class StopSignalBlock {
  public:
    StopSignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal_number : stop_signals) {
            sigaddset(&set, signal_number);
        }
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~StopSignalBlock() { restore(); }
    void restore() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    StopSignalBlock(const StopSignalBlock &) = delete;
    StopSignalBlock &operator=(const StopSignalBlock &) = delete;

  private:
    sigset_t old_{};
};

[[noreturn]] void exec_recorder(const char *path, int seconds) {
    char duration[16];
    std::snprintf(duration, sizeof duration, "%d", seconds);
    execlp("arecord", "arecord", "-q", "-d", duration, "-f", "S16_LE", "-r", "16000", "-c", "1",
           "-t", "wav", path, static_cast<char *>(nullptr));
    _exit(1);
}

bool file_size(const char *path, long &size) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return false;
    }
    size = static_cast<long>(st.st_size);
    return true;
}

} // namespace

int record_audio_wav(const char *path, int seconds) {
    if (!running) {
        return -1;
    }
    // arecord deletes the path and creates it again by name: make sure first
    // that no link or file of another user is planted there, by making it a
    // fresh file of our own.
    if (!UniqueFd(create_scratch_file(path))) {
        std::fprintf(stderr, "\nError: Could not create %s%s\n", path, scratch_file_obstacle(path));
        return -1;
    }
    pid_t child = -1;
    int wait_status = 0;
    pid_t waited = -1;
    {
        StopSignalBlock block;
        // A Ctrl-C that came before the block has found no recorder to stop.
        if (!running) {
            return -1;
        }
        // Closed by the child's exec: its end of file says that the recorder
        // itself, not a copy of this program, is what a stop would terminate.
        int exec_pipe[2];
        if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
            return -1;
        }
        UniqueFd exec_seen(exec_pipe[0]);
        UniqueFd exec_done(exec_pipe[1]);
        child = fork();
        if (child < 0) {
            return -1;
        }
        if (child == 0) {
            // The recorder takes the stop signals as a plain program would.
            for (const int signal_number : stop_signals) {
                std::signal(signal_number, SIG_DFL);
            }
            // The recording is private, like every file the program makes.
            umask(077);
            block.restore();
            exec_recorder(path, seconds);
        }
        exec_done = UniqueFd();
        char byte = 0;
        while (read(exec_seen.get(), &byte, 1) < 0 && errno == EINTR) {
        }
        arecord_pid = child;
        block.restore();
        do {
            waited = waitpid(child, &wait_status, 0);
        } while (waited < 0 && errno == EINTR);
        arecord_pid = 0;
    }
    long size = 0;
    if (!running || waited != child || WIFSIGNALED(wait_status) || !WIFEXITED(wait_status) ||
        WEXITSTATUS(wait_status) != 0 || !file_size(path, size) || size <= wav_header_size) {
        return -1;
    }
    return 0;
}

int run_record_only() {
    std::puts("NOTE: I could not find the Vosk model!");
    std::puts("Download a model from: https://alphacephei.com/vosk/models");
    std::puts("Then set VOSK_MODEL_PATH or place the model in /usr/share/extras/tovu/model/ (e.g. "
              "model/vosk-model-en-us-0.22-lgraph/) or /usr/share/vosk-model-*\n");
    std::puts("The program will only record audio.\n");
    notify_user("No speech model",
                "Without a speech model tovu-voice only records ten seconds and understands "
                "nothing. Install one: sudo tovu-voice-get-model");
    std::fputs("Recording audio... ", stdout);
    std::fflush(stdout);

    run_phase = phase_recording_only;
    const int result = record_audio_wav(wav_path, record_seconds);
    run_phase = phase_busy;
    long size = 0;
    const bool have_size = result == 0 && file_size(wav_path, size);
    remove_scratch_file(wav_path);
    if (!running) {
        std::puts("Program stopped.");
        // A stop noticed only after a good recording leaves the status alone.
        if (result != 0) {
            write_status("ready");
        }
        return exit_ok;
    }
    if (result != 0) {
        std::puts("Error");
    } else if (have_size) {
        std::printf("OK (%ld bytes)\n", size);
    }
    write_status("ready");
    return result == 0 ? exit_ok : exit_failure;
}
