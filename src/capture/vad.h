// Voice-activity capture: records one utterance from the default ALSA
// capture device into a headerless S16_LE 16 kHz mono file.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int sample_rate = 16000;
inline constexpr int chunk_frames = 512;
inline constexpr double speech_threshold = 500.0;
inline constexpr double write_threshold = 250.0;
inline constexpr int silence_ms = 1500;
inline constexpr int no_speech_ms = 3000;

// Consecutive failed or empty reads after which the device counts as gone.
inline constexpr int max_failed_reads = 16;
// Kept chunks reach the raw file in blocks of this size, not one by one.
inline constexpr size_t raw_write_block = 64 * 1024;

// Root mean square of `count` (>= 1) samples.
double calculate_rms(const int16_t *samples, size_t count);

// Number of whole chunks in `duration_ms`, in 32-bit integer arithmetic.
int32_t chunks_for_duration(int32_t duration_ms);

struct VadLimits {
    int32_t silence_limit;
    int32_t no_speech_limit;
    int32_t chunk_budget;
};
VadLimits vad_limits(int32_t max_duration_ms);

// What has been heard so far in one capture.
struct VadState {
    int32_t chunk_count = 0;
    int32_t silence_count = 0;
    bool speech = false;
};

enum class VadEnd { none, no_speech_timeout, silence_after_speech, budget_used };

struct VadStep {
    bool is_speech; // the chunk is loud enough to be speech
    bool store;     // the chunk belongs in the file
    VadEnd end;     // the capture ends after this chunk
};

// Accounts for one chunk with at least one frame at `level` and says what to
// do with it.
VadStep vad_step(VadState &state, const VadLimits &limits, double level);

// Results of record_audio_raw_vad.
inline constexpr int capture_ok = 0;
inline constexpr int capture_failed = -1; // also: a stop was requested
inline constexpr int capture_no_speech = -2;

// Captures one utterance into `path`, at most `max_duration_ms` long (at most
// 134217 ms). 0 when the capture ended on its own, -1 on a stop request or a
// failure, -2 when nobody spoke within three seconds.
int record_audio_raw_vad(const char *path, int max_duration_ms);
