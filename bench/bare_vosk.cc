// The least a program can do to transcribe recorded audio with Vosk: load
// the model, create a recognizer, hold the samples in memory, give them to
// the recognizer in one call and take the result. The benchmark runner sets
// tovu-voice's hand-off against it.
//
//   bare_vosk MODEL_DIR RAW_FILE
//
// prints key=value lines: model_ns, recognizer_ns, decode_ns (accept +
// result, and the partial result when the final one is too short, as
// tovu-voice does), samples, peak_rss_kb and result (on one line).
#include "run/vosk_api.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long peak_rss_kb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODEL_DIR RAW_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    if (!in.is_open()) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    // One buffer of the file's size, filled by one read, as tovu-voice does:
    // a buffer that grew by reallocation would leave glibc's malloc tuned
    // differently (freed large blocks raise its mmap threshold) and make
    // Vosk measurably faster or slower for reasons of no interest here.
    in.seekg(0, std::ios::end);
    std::vector<char> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0, std::ios::beg);
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    const int samples = static_cast<int>(bytes.size() / 2);

    int64_t t0 = now_ns();
    VoskModel *model = vosk_model_new(argv[1]);
    const int64_t model_ns = now_ns() - t0;
    if (model == nullptr) {
        return 1;
    }
    t0 = now_ns();
    VoskRecognizer *recognizer = vosk_recognizer_new(model, 16000.0f);
    const int64_t recognizer_ns = now_ns() - t0;
    if (recognizer == nullptr) {
        return 1;
    }

    t0 = now_ns();
    vosk_recognizer_accept_waveform_s(recognizer, reinterpret_cast<const short *>(bytes.data()),
                                      samples);
    const char *result = vosk_recognizer_result(recognizer);
    if (result == nullptr || std::strlen(result) <= 10) {
        result = vosk_recognizer_partial_result(recognizer);
    }
    const int64_t decode_ns = now_ns() - t0;

    std::string one_line = result != nullptr ? result : "(null)";
    for (char &c : one_line) {
        if (c == '\n') {
            c = ' ';
        }
    }
    std::printf("model_ns=%lld\nrecognizer_ns=%lld\ndecode_ns=%lld\nsamples=%d\n"
                "peak_rss_kb=%ld\nresult=%s\n",
                static_cast<long long>(model_ns), static_cast<long long>(recognizer_ns),
                static_cast<long long>(decode_ns), samples, peak_rss_kb(), one_line.c_str());
    vosk_recognizer_free(recognizer);
    vosk_model_free(model);
    return 0;
}
