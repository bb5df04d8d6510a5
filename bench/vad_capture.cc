// The voice-activity capture alone, for the throughput benchmark:
//
//   vad_capture RAW_FILE MAX_DURATION_MS
//
// captures one utterance from ALSA's default device into RAW_FILE, exactly
// as tovu-voice does, and prints "capture_ns=<n> result=<r>" on standard
// error (standard output carries the capture's own progress line).
#include "base/feedback.h"
#include "capture/listen.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RAW_FILE MAX_DURATION_MS\n", argv[0]);
        return 2;
    }
    const int64_t t0 = now_ns();
    CuePlayer no_cue(-1);
    const int result = record_audio_raw_vad(argv[1], std::atoi(argv[2]), no_cue);
    const int64_t t1 = now_ns();
    std::fflush(stdout);
    std::fprintf(stderr, "capture_ns=%lld result=%d\n", static_cast<long long>(t1 - t0), result);
    return result == 0 ? 0 : 1;
}
