#include "capture/vad.h"

#include <cmath>

double calculate_rms(const int16_t *samples, size_t count) {
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const int64_t s = samples[i];
        sum += s * s;
    }
    return std::sqrt(static_cast<double>(sum) / static_cast<double>(count));
}

int32_t chunks_for_duration(int32_t duration_ms) {
    return duration_ms * sample_rate / (chunk_frames * 1000);
}

VadLimits vad_limits(int32_t max_duration_ms) {
    return {chunks_for_duration(silence_ms), chunks_for_duration(no_speech_ms),
            chunks_for_duration(max_duration_ms)};
}

VadStep vad_step(VadState &state, const VadLimits &limits, double level) {
    VadStep step{level > speech_threshold, false, VadEnd::none};
    if (step.is_speech) {
        state.speech = true;
        state.silence_count = 0;
    } else {
        ++state.silence_count;
    }
    step.store = state.speech || level > write_threshold;
    ++state.chunk_count;
    if (!state.speech && state.chunk_count >= limits.no_speech_limit) {
        step.end = VadEnd::no_speech_timeout;
    } else if (state.speech && state.silence_count >= limits.silence_limit) {
        step.end = VadEnd::silence_after_speech;
    } else if (state.chunk_count >= limits.chunk_budget) {
        step.end = VadEnd::budget_used;
    }
    return step;
}
