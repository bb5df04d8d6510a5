// Voice-activity detection: what one chunk's level means for the utterance.
//
// Pure decisions over plain data; no device is touched here.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int sample_rate = 16000;
inline constexpr int chunk_frames = 512;
inline constexpr double speech_threshold = 500.0;
inline constexpr double write_threshold = 250.0;
inline constexpr int silence_ms = 1500;
inline constexpr int no_speech_ms = 3000;

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
