// The recognition run: from loading the model to the exit status.
#pragma once

#include <vector>

inline constexpr const char *raw_path = "/tmp/stt_audio.raw";
inline constexpr float recognizer_rate = 16000.0f;

// The model directories to try, in order: four fixed places, then
// VOSK_MODEL_PATH when it is set.
std::vector<const char *> model_candidates();

// The first candidate that is a readable directory (links followed), or null.
const char *find_model(const std::vector<const char *> &candidates);

// Loads the model at `model_path`, captures one utterance, transcribes it and
// hands the result on. Returns the exit status.
int run_recognition(const char *model_path);
