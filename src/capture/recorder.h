// The fixed-duration `arecord` recorder and the record-only run without a model.
#pragma once

inline constexpr const char *wav_path = "/tmp/stt_audio.wav";
inline constexpr int record_seconds = 10;
inline constexpr long wav_header_size = 44;

// Records `seconds` of audio into the WAV file `path` with arecord and waits
// for it. 0 when arecord exited with status 0, wrote more than a WAV header
// and no stop was requested; -1 otherwise.
int record_audio_wav(const char *path, int seconds);

// The whole run without a model: notice, ten-second recording, its size.
// Returns the exit status: 1 when the recording failed ("Error"), 0 when it
// succeeded or was stopped.
int run_record_only();
