// What the microphone check makes of the chunk levels it heard: what
// tovu-voice would have done with them, the figures, and one verdict.
//
// Pure decisions over plain data; no device is touched here.
#pragma once

#include "capture/vad.h"

#include <cstdint>
#include <vector>

// How long the check listens at most, and how early before the first
// speech chunk the replay begins: someone who starts the program and then
// speaks, as with tovu-voice.
inline constexpr int listen_ms = 8000;
inline constexpr int lead_ms = 500;

// dBFS of an RMS level (full scale 32768); -120 for silence.
double dbfs(double level);

enum class ReplayEnd {
    never_started, // no chunk above the speech threshold: the 3 s timeout
    silence,       // ended by silence after speech
    capped,        // ran into the 10 s cap
    unfinished,    // still recording when the check stopped listening
};

struct Replay {
    ReplayEnd end;
    double start_s; // speech began, seconds after the replay's start
    double end_s;   // the recording ended (silence or cap)
};

// Runs `levels` (one per chunk) through the capture's detector from a little
// before the first speech chunk, as a run of tovu-voice started then would.
Replay replay(const std::vector<double> &levels);

struct Figures {
    double noise;  // the room: the level that a fifth of the chunks stay under
    double speech; // the loudest chunk
    int64_t clipped;
};
Figures measure(const std::vector<double> &levels, int64_t clipped_samples);

enum class Verdict { fine, silent, too_quiet, too_noisy, too_hot, inseparable };

struct Judgement {
    Verdict verdict;
    double change_db; // the input volume change that fixes it (0: none)
};

// The verdict on `figures` and the change of the input volume that brings
// speech well above the speech threshold and the room below the keep
// threshold, where one volume can do both.
Judgement judge(const Figures &figures);

// The detector's limits while the check listens: at most listen_ms, and no
// timeout before speech, since the user may start at any moment.
VadLimits listening_limits();
