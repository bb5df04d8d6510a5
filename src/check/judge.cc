#include "check/judge.h"

#include "capture/listen.h"
#include "capture/vad.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

double chunk_seconds(int32_t chunks) {
    return static_cast<double>(chunks) * chunk_frames / sample_rate;
}

double db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// Where the check aims: speech 6 dB above the speech threshold, the room
// 2 dB below the keep threshold. It accepts 3 dB above the speech threshold
// for speech, and the room 3 dB below the speech threshold.
constexpr double speech_target = speech_threshold * 2.0;
constexpr double speech_floor = speech_threshold * 1.41;
constexpr double noise_target = write_threshold * 0.8;
constexpr double noise_ceiling = speech_threshold / 1.41;
// Digital silence, or the hiss of a muted input.
constexpr double silent_level = 8.0;
// Samples at full scale beyond which the speech counts as clipped.
constexpr int64_t clip_limit = 16;

} // namespace

double dbfs(double level) {
    return level < 1e-6 ? -120.0 : db(level / 32768.0);
}

Replay replay(const std::vector<double> &levels) {
    const auto first = std::find_if(levels.begin(), levels.end(),
                                    [](double level) { return level > speech_threshold; });
    if (first == levels.end()) {
        return {ReplayEnd::never_started, 0, 0};
    }
    const auto onset = static_cast<int32_t>(first - levels.begin());
    const int32_t from = std::max(0, onset - chunks_for_duration(lead_ms));
    const VadLimits limits = vad_limits(max_utterance_ms);
    VadState state;
    double start_s = -1;
    for (size_t i = static_cast<size_t>(from); i < levels.size(); ++i) {
        const VadStep step = vad_step(state, limits, levels[i]);
        if (step.is_speech && start_s < 0) {
            start_s = chunk_seconds(state.chunk_count - 1);
        }
        switch (step.end) {
        case VadEnd::none:
            continue;
        case VadEnd::no_speech_timeout:
            return {ReplayEnd::never_started, 0, 0};
        case VadEnd::silence_after_speech:
            return {ReplayEnd::silence, start_s, chunk_seconds(state.chunk_count)};
        case VadEnd::budget_used:
            return {ReplayEnd::capped, start_s, chunk_seconds(state.chunk_count)};
        }
    }
    return {ReplayEnd::unfinished, start_s, chunk_seconds(state.chunk_count)};
}

VadLimits listening_limits() {
    VadLimits limits = vad_limits(listen_ms);
    limits.no_speech_limit = INT32_MAX;
    return limits;
}

Figures measure(const std::vector<double> &levels, int64_t clipped_samples) {
    if (levels.empty()) {
        return {0, 0, clipped_samples};
    }
    std::vector<double> sorted = levels;
    std::sort(sorted.begin(), sorted.end());
    return {sorted[sorted.size() / 5], sorted.back(), clipped_samples};
}

Judgement judge(const Figures &f) {
    if (f.speech < silent_level) {
        return {Verdict::silent, 0};
    }
    // What the volume may change by: speech may not fall below its floor,
    // and the room may not rise to the keep threshold.
    const double most_down = db(f.speech / speech_floor);
    const double most_up = f.noise < 1.0 ? 40.0 : db(noise_target / f.noise);
    if (f.noise > noise_ceiling) {
        const double down = db(f.noise / noise_target);
        if (f.noise / std::pow(10.0, most_down / 20.0) > noise_ceiling) {
            return {Verdict::inseparable, 0};
        }
        return {Verdict::too_noisy, -std::min(down, most_down)};
    }
    if (f.clipped > clip_limit) {
        return {Verdict::too_hot, -std::min(6.0, std::max(0.0, most_down))};
    }
    if (f.speech < speech_floor) {
        const double up = db(speech_target / f.speech);
        if (f.speech * std::pow(10.0, most_up / 20.0) <= speech_threshold) {
            return {Verdict::inseparable, 0};
        }
        return {Verdict::too_quiet, std::min(up, most_up)};
    }
    return {Verdict::fine, 0};
}
