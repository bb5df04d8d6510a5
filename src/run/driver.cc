#include "run/driver.h"

#include "base/feedback.h"
#include "base/scratch_file.h"
#include "base/state.h"
#include "capture/listen.h"
#include "run/vosk_api.h"
#include "transcript/clean.h"
#include "transcript/handoff.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::vector<const char *> model_candidates() {
    std::vector<const char *> candidates = {
        "/usr/share/extras/tovu/model",
        "/usr/share/vosk-model-en-us-0.22",
        "/usr/share/vosk-model-small-en-us-0.15",
        "/usr/share/vosk/model",
    };
    if (const char *env = std::getenv("VOSK_MODEL_PATH")) {
        candidates.push_back(env);
    }
    return candidates;
}

const char *find_model(const std::vector<const char *> &candidates) {
    for (const char *path : candidates) {
        struct stat st {};
        if (access(path, R_OK) == 0 && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            return path;
        }
    }
    return nullptr;
}

namespace {

struct ModelFreer {
    void operator()(VoskModel *m) const { vosk_model_free(m); }
};
struct RecognizerFreer {
    void operator()(VoskRecognizer *r) const { vosk_recognizer_free(r); }
};
using UniqueModel = std::unique_ptr<VoskModel, ModelFreer>;
using UniqueRecognizer = std::unique_ptr<VoskRecognizer, RecognizerFreer>;

// How a recognition run ended, once every resource of it is released.
enum class Outcome {
    engine_failed,  // model or recognizer could not be created
    stopped,        // Ctrl-C before or during the capture
    capture_failed, // capture failed, or nobody spoke
    device_refused, // the device would deliver another format: told already
    audio_lost,     // the captured audio could not be read back
    empty_text,     // the transcript was empty
    not_saved,      // the final result could not be written: the normal end, status 1
    done,           // every other ending: the normal end
};

// A usable recognizer result is longer than this.
constexpr size_t min_result_length = 10;

bool is_usable(const char *result) {
    return result != nullptr && std::strlen(result) > min_result_length;
}

void clear_line() {
    std::fputs("\r\033[K", stdout);
}

// Final result: clean it, print it, hand it on.
Outcome use_final_result(const char *result) {
    const std::string display = strip_activation_prefix(result);
    clear_line();
    std::printf("Recunoscut: %s\n", display.c_str());
    if (is_text_empty(display)) {
        std::puts("(empty text detected)");
        play_cue(Cue::error);
        return Outcome::empty_text;
    }
    return hand_off_result(display) ? Outcome::done : Outcome::not_saved;
}

// Reads the captured audio back and lets the recognizer decode it.
Outcome recognize(VoskRecognizer *recognizer) {
    std::fputs("Processing... ", stdout);
    std::fflush(stdout);

    const UniqueFd file(open_own_file(raw_path));
    struct stat st {};
    if (!file || fstat(file.get(), &st) != 0) {
        return Outcome::audio_lost;
    }
    const off_t size = st.st_size;
    if (size <= 0) {
        std::puts("(empty audio file)");
        play_cue(Cue::error);
        return Outcome::done;
    }
    const size_t bytes = static_cast<size_t>(size);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[bytes]);
    if (!buffer) {
        return Outcome::audio_lost;
    }
    // Whole samples only: an odd trailing byte is never read.
    const size_t wanted = bytes / 2 * 2;
    size_t have = 0;
    while (have < wanted) {
        const ssize_t n = read(file.get(), buffer.get() + have, wanted - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        have += static_cast<size_t>(n);
    }
    const int samples = static_cast<int>(have / 2);
    vosk_recognizer_accept_waveform_s(recognizer, reinterpret_cast<const short *>(buffer.get()),
                                      samples);

    const char *result = vosk_recognizer_result(recognizer);
    if (is_usable(result)) {
        return use_final_result(result);
    }
    const char *partial = vosk_recognizer_partial_result(recognizer);
    if (is_usable(partial)) {
        clear_line();
        std::printf("Partial: %s\n", partial);
        save_partial_result(partial);
        return Outcome::done;
    }
    std::puts("(no speech detected)");
    play_cue(Cue::error);
    return Outcome::done;
}

// Sets up the engine, captures and recognizes. Everything it acquires is
// released, recognizer before model, by the time it returns.
Outcome listen_and_recognize(const char *model_path) {
    std::printf("Model found: %s\n", model_path);
    std::puts("Initializing Vosk...");
    std::fflush(stdout);
    const UniqueModel model(vosk_model_new(model_path));
    if (!model) {
        std::fputs("Error: Could not load the Vosk model\n", stderr);
        return Outcome::engine_failed;
    }
    const UniqueRecognizer recognizer(vosk_recognizer_new(model.get(), recognizer_rate));
    if (!recognizer) {
        std::fputs("Error: Could not create the recognizer\n", stderr);
        return Outcome::engine_failed;
    }
    std::puts("Vosk initialized!\n");
    // The cue plays while the capture gets the device ready, so that it
    // listens the moment the cue is over.
    CuePlayer cue = start_cue(Cue::start);

    const ScratchFileGuard raw_file(raw_path);
    switch (record_audio_raw_vad(raw_path, max_utterance_ms, cue)) {
    case capture_ok:
        break;
    case capture_wrong_format:
        return Outcome::device_refused;
    default:
        return running ? Outcome::capture_failed : Outcome::stopped;
    }
    return recognize(recognizer.get());
}

} // namespace

int run_recognition(const char *model_path) {
    switch (listen_and_recognize(model_path)) {
    case Outcome::engine_failed:
        play_cue(Cue::error);
        write_status("ready");
        return exit_failure;
    case Outcome::stopped:
        write_status("ready");
        return exit_ok;
    case Outcome::capture_failed:
        std::fflush(stdout);
        std::fputs("\nError during recording\n", stderr);
        play_cue(Cue::error);
        write_status("ready");
        return exit_failure;
    case Outcome::device_refused:
        play_cue(Cue::error);
        write_status("ready");
        return exit_failure;
    case Outcome::audio_lost:
        std::fflush(stdout);
        std::fprintf(stderr, "\nError: Could not read the recorded audio in %s\n", raw_path);
        play_cue(Cue::error);
        write_status("ready");
        return exit_failure;
    case Outcome::empty_text:
        write_status("ready");
        return exit_failure;
    case Outcome::not_saved:
        play_cue(Cue::stop);
        return exit_failure;
    case Outcome::done:
        break;
    }
    play_cue(Cue::stop);
    return exit_ok;
}
