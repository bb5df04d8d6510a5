// Voice-activity capture: one utterance from the default ALSA device to a file.
//
// The file is headerless S16_LE 16 kHz mono audio.
#pragma once

#include <cstddef>

class CuePlayer;
// Kept chunks reach the raw file in blocks of this size, not one by one.
inline constexpr size_t raw_write_block = 64 * 1024;

// The longest utterance that a run of tovu-voice records.
inline constexpr int max_utterance_ms = 10000;

// Results of record_audio_raw_vad.
inline constexpr int capture_ok = 0;
inline constexpr int capture_failed = -1; // also: a stop was requested
inline constexpr int capture_no_speech = -2;
// The device cannot take the capture's format; the "Error: " line is out.
inline constexpr int capture_wrong_format = -3;
// The default capture device cannot be opened; nothing is printed.
inline constexpr int capture_no_device = -4;

// Captures one utterance into `path`, at most `max_duration_ms` long (at most
// 134217 ms). The device is opened and made ready while `start_cue` plays,
// and hears from the moment the cue has ended. 0 when the capture ended on
// its own, -1 on a stop request or a failure, -2 when nobody spoke within
// three seconds, -3 when the device would deliver another format than S16_LE
// 16 kHz mono, -4 when it cannot be opened.
int record_audio_raw_vad(const char *path, int max_duration_ms, CuePlayer &start_cue);
