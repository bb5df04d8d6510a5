#include "audio.h"

#include "capture/vad.h"

#include <cmath>
#include <cstdint>
#include <vector>

std::string tone_utterance(double seconds) {
    const auto silence = [](double s) {
        return std::vector<int16_t>(static_cast<size_t>(s * sample_rate));
    };
    std::vector<int16_t> samples = silence(0.3);
    const size_t n = static_cast<size_t>(seconds * sample_rate);
    for (size_t i = 0; i < n; ++i) {
        samples.push_back(
            static_cast<int16_t>(0.3 * 32767 * std::sin(2 * M_PI * 440.0 * i / sample_rate)));
    }
    const std::vector<int16_t> tail = silence(12);
    samples.insert(samples.end(), tail.begin(), tail.end());
    return std::string(reinterpret_cast<const char *>(samples.data()), samples.size() * 2);
}

std::string stored_samples(const std::string &audio, int max_duration_ms) {
    const VadLimits limits = vad_limits(max_duration_ms);
    VadState state;
    std::string stored;
    const size_t chunk_bytes = chunk_frames * 2;
    for (size_t at = 0; at + chunk_bytes <= audio.size(); at += chunk_bytes) {
        const auto *chunk = reinterpret_cast<const int16_t *>(audio.data() + at);
        const VadStep step = vad_step(state, limits, calculate_rms(chunk, chunk_frames));
        if (step.store) {
            stored.append(audio, at, chunk_bytes);
        }
        if (step.end != VadEnd::none) {
            break;
        }
    }
    return stored;
}
