// A stand-in for the Vosk library, preloaded into the program under test
// (LD_PRELOAD) to produce the outcomes the real library cannot produce on
// demand. Its behaviour comes from the environment:
//   FAKE_VOSK_MODEL=fail        vosk_model_new returns null
//   FAKE_VOSK_RECOGNIZER=fail   vosk_recognizer_new returns null
//   FAKE_VOSK_RESULT=<text>     what vosk_recognizer_result returns
//   FAKE_VOSK_PARTIAL=<text>    what vosk_recognizer_partial_result returns
//                               (either one "null" for a null pointer;
//                               default {"text": ""} and {"partial" : ""})
//   FAKE_VOSK_LOG=<file>        one line per call, in order
//   FAKE_VOSK_SAMPLES=<file>    the samples handed to accept_waveform_s
//   FAKE_VOSK_ACCEPT_GATE=<fifo> accept_waveform_s opens this FIFO for
//                               reading and returns only once a byte has
//                               come (or every writer has closed it)
#include "stand_in.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern "C" {

struct VoskModel {
    int magic;
};
struct VoskRecognizer {
    VoskModel *model;
};

namespace {

void log_call(const char *format, ...) __attribute__((format(printf, 1, 2)));

void log_call(const char *format, ...) {
    va_list args;
    va_start(args, format);
    stand_in::log_line("FAKE_VOSK_LOG", format, args);
    va_end(args);
}

using stand_in::wants;

const char *configured(const char *name, const char *fallback) {
    const char *set = std::getenv(name);
    if (set == nullptr) {
        return fallback;
    }
    return std::strcmp(set, "null") == 0 ? nullptr : set;
}

} // namespace

VoskModel *vosk_model_new(const char *model_path) {
    log_call("vosk_model_new %s", model_path);
    if (wants("FAKE_VOSK_MODEL", "fail")) {
        return nullptr;
    }
    return new VoskModel{42};
}

void vosk_model_free(VoskModel *model) {
    log_call("vosk_model_free");
    delete model;
}

VoskRecognizer *vosk_recognizer_new(VoskModel *model, float sample_rate) {
    log_call("vosk_recognizer_new %.1f", static_cast<double>(sample_rate));
    if (wants("FAKE_VOSK_RECOGNIZER", "fail")) {
        return nullptr;
    }
    return new VoskRecognizer{model};
}

void vosk_recognizer_free(VoskRecognizer *recognizer) {
    log_call("vosk_recognizer_free");
    delete recognizer;
}

int vosk_recognizer_accept_waveform_s(VoskRecognizer *, const short *data, int length) {
    log_call("vosk_recognizer_accept_waveform_s %d", length);
    if (const char *gate = std::getenv("FAKE_VOSK_ACCEPT_GATE")) {
        // Decoding is not cut short by a signal, so neither is the wait.
        int fd = -1;
        while ((fd = open(gate, O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
        }
        if (fd >= 0) {
            char byte = 0;
            while (read(fd, &byte, 1) < 0 && errno == EINTR) {
            }
            close(fd);
        }
    }
    if (const char *path = std::getenv("FAKE_VOSK_SAMPLES")) {
        if (FILE *out = std::fopen(path, "wb")) {
            std::fwrite(data, sizeof(short), static_cast<size_t>(length), out);
            std::fclose(out);
        }
    }
    return 0;
}

const char *vosk_recognizer_result(VoskRecognizer *) {
    log_call("vosk_recognizer_result");
    return configured("FAKE_VOSK_RESULT", "{\"text\": \"\"}");
}

const char *vosk_recognizer_partial_result(VoskRecognizer *) {
    log_call("vosk_recognizer_partial_result");
    return configured("FAKE_VOSK_PARTIAL", "{\n  \"partial\" : \"\"\n}");
}
}
