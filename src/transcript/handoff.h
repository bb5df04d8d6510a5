// Result hand-off: the result file and the processor started with it.
#pragma once

#include <string_view>

inline constexpr const char *result_dir = "/tmp/tovu";
inline constexpr const char *result_path = "/tmp/tovu/speech.json";

// Writes `json` and a newline to the result file and starts tovu-processor
// in the background with the file's path. When the file cannot be written
// completely, reports it, plays the error cue, starts nothing and returns
// false.
bool hand_off_result(std::string_view json);

// Writes a partial result to the result file; nothing is started and a
// failure is not reported.
void save_partial_result(std::string_view json);
