// The audio of the benchmarks, beside the fixtures of the testbed.
#pragma once

#include <string>

// A tone loud enough to be speech for `seconds`, after 0.3 s of silence and
// followed by 12 s of silence (more than any capture reads after speech), as
// raw S16_LE mono.
std::string tone_utterance(double seconds);

// The samples that the capture stores from `audio` (a raw file as the
// device delivers it), worked out with the capture's own detector.
std::string stored_samples(const std::string &audio, int max_duration_ms);
