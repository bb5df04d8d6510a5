// The part of the Vosk C library that tovu-voice uses.
//
// The library ships no header of its own; these declarations match its
// exported functions.
#pragma once

extern "C" {

typedef struct VoskModel VoskModel;
typedef struct VoskRecognizer VoskRecognizer;

// Loads the model in `model_path`; null when the directory holds no usable model.
VoskModel *vosk_model_new(const char *model_path);
void vosk_model_free(VoskModel *model);

// A recognizer for audio at `sample_rate`; null on failure.
VoskRecognizer *vosk_recognizer_new(VoskModel *model, float sample_rate);
void vosk_recognizer_free(VoskRecognizer *recognizer);

// Feeds `length` 16-bit samples; 1 when an end of utterance was detected.
int vosk_recognizer_accept_waveform_s(VoskRecognizer *recognizer, const short *data, int length);

// JSON texts owned by the recognizer, valid until its next call.
const char *vosk_recognizer_result(VoskRecognizer *recognizer);
const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer);
}
