#include "run/driver.h"

#include "base/feedback.h"
#include "base/notify.h"
#include "base/scratch_file.h"
#include "base/state.h"
#include "capture/device.h"
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
    engine_failed,    // model or recognizer could not be created
    stopped,          // Ctrl-C before or during the capture
    no_device,        // the capture device could not be opened
    nothing_heard,    // nobody spoke within three seconds
    capture_failed,   // capture failed otherwise
    device_refused,   // the device would deliver another format: told already
    audio_lost,       // the captured audio could not be read back
    wake_phrase_only, // the transcript was empty once the wake phrase was removed
    empty_text,       // the transcript was empty
    not_saved,        // the final result could not be written: the normal end, status 1
    no_words,         // nothing was recognised: the normal end, with the error cue
    done,             // every other ending: the normal end
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
        return is_text_empty(result) ? Outcome::empty_text : Outcome::wake_phrase_only;
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
        return Outcome::no_words;
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
    return Outcome::no_words;
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
    CuePlayer cue = cancelled ? CuePlayer(-1) : start_cue(Cue::start);

    const ScratchFileGuard raw_file(raw_path);
    switch (record_audio_raw_vad(raw_path, max_utterance_ms, cue)) {
    case capture_ok:
        break;
    case capture_wrong_format:
        return Outcome::device_refused;
    case capture_no_device:
        return running ? Outcome::no_device : Outcome::stopped;
    case capture_no_speech:
        return running ? Outcome::nothing_heard : Outcome::stopped;
    default:
        return running ? Outcome::capture_failed : Outcome::stopped;
    }
    return recognize(recognizer.get());
}

// Ends the run after `outcome`: the cue and the status. Returns the exit
// status.
int end_run(Outcome outcome) {
    switch (outcome) {
    case Outcome::engine_failed:
        play_cue(Cue::error);
        write_status("ready");
        return exit_failure;
    case Outcome::stopped:
        write_status("ready");
        return exit_ok;
    case Outcome::no_device:
    case Outcome::nothing_heard:
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
    case Outcome::wake_phrase_only:
    case Outcome::empty_text:
        write_status("ready");
        return exit_failure;
    case Outcome::not_saved:
        play_cue(Cue::stop);
        return exit_failure;
    case Outcome::no_words:
    case Outcome::done:
        break;
    }
    play_cue(Cue::stop);
    return exit_ok;
}

// Tells the user who sees no terminal why the run failed, in a desktop
// notification; a run that went well or was stopped tells nothing.
void notify_failure(Outcome outcome) {
    switch (outcome) {
    case Outcome::engine_failed:
        notify_user("Speech model not loaded",
                    "The speech model could not be loaded: it may be incomplete or damaged, or "
                    "need more memory than is free. Remove it, then install it again: sudo "
                    "tovu-voice-get-model");
        return;
    case Outcome::no_device:
        notify_user("No microphone",
                    "The microphone could not be opened. Plug one in, or choose one as the input "
                    "in the sound settings; tovu-voice-check-mic tests it.");
        return;
    case Outcome::nothing_heard:
        notify_user("Nothing heard",
                    "No speech in the first 3 seconds. Is the microphone muted or too quiet? "
                    "tovu-voice-check-mic shows its level.");
        return;
    case Outcome::capture_failed:
        notify_user("Recording failed",
                    "The microphone stopped sending sound, or the recording could not be saved in "
                    "/tmp. tovu-voice-check-mic tests the microphone.");
        return;
    case Outcome::device_refused:
        notify_user("Microphone format not supported",
                    ("The microphone offers only " + refused_offer() +
                     ", not the 16 kHz mono sound that tovu-voice takes. Let the system convert "
                     "it: use the sound server's \"default\" device, or \"plughw:\" instead of "
                     "\"hw:\" in ~/.asoundrc.")
                        .c_str());
        return;
    case Outcome::audio_lost:
        notify_user("Recording lost", "The recording could not be read back from /tmp. Please "
                                      "try again.");
        return;
    case Outcome::wake_phrase_only:
        notify_user("Only the wake phrase was heard",
                    "Say your request right after the wake phrase, without a pause.");
        return;
    case Outcome::empty_text:
    case Outcome::no_words:
        notify_user("No words recognised",
                    "Something was heard, but no words in it. Speak clearly and close to the "
                    "microphone; tovu-voice-check-mic shows its level.");
        return;
    case Outcome::not_saved:
        notify_user("Request not handed on",
                    "Its transcript could not be saved in /tmp/tovu/speech.json. Is the disk "
                    "full, or is /tmp/tovu another user's?");
        return;
    case Outcome::stopped:
    case Outcome::done:
        return;
    }
}

} // namespace

int run_recognition(const char *model_path) {
    const Outcome outcome = listen_and_recognize(model_path);
    const int status = end_run(outcome);
    notify_failure(outcome);
    return status;
}
