// The outcomes of a recognition run, driven through the real binary with the
// stand-in recognizer library, which can fail or answer on demand.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace sandbox;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// What is printed for one loud chunk followed by silence.
const std::string heard = initialized + "Listening... . [silence detected]\nProcessing... ";

const std::string model_new = "vosk_model_new /usr/share/extras/tovu/model";
const std::string recognizer_new = "vosk_recognizer_new 16000.0";
const std::string accept_one_utterance = "vosk_recognizer_accept_waveform_s 24064"; // 47 chunks

// One chunk of audio (512 samples, S16_LE): `value` everywhere.
std::string chunk(int16_t value) {
    std::string bytes(512 * 2, '\0');
    for (size_t i = 0; i < 512; ++i) {
        std::memcpy(&bytes[i * 2], &value, 2);
    }
    return bytes;
}

// A chunk whose samples differ from those of every other chunk made with a
// different `seed`, with a level close to `level`.
std::string marked_chunk(int seed, int16_t level) {
    std::string bytes(512 * 2, '\0');
    for (size_t i = 0; i < 512; ++i) {
        const int wobble = static_cast<int>((i * 7 + static_cast<size_t>(seed) * 13) % 11) - 5;
        const int16_t sample = static_cast<int16_t>((i % 2 == 0 ? level : -level) + wobble);
        std::memcpy(&bytes[i * 2], &sample, 2);
    }
    return bytes;
}

std::string repeat(const std::string &piece, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += piece;
    }
    return all;
}

// Somebody says one short thing after a little silence, then stays quiet.
std::string one_loud_chunk() {
    return repeat(chunk(0), 3) + chunk(2000) + repeat(chunk(0), 200);
}

class RunOutcome : public ::testing::Test {
  protected:
    RunOutcome() {
        fs::create_directories(box.data_dir("model"));
        box.install_cues();
        box.add_program("tovu-processor", "exit 0\n");
    }

    void hear(const std::string &audio) {
        const std::string path = box.root() + "/microphone.raw";
        write_file(path, audio);
        box.use_audio(path);
    }

    // A run that ended as a failed recording: the engine freed in order,
    // nothing recognised, the error cue, "ready" and no raw file left.
    void expect_failed_recording(const Result &r) const {
        EXPECT_EQ(r.err, "\nError during recording\n");
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_EQ(box.cues_played(), (Lines{"paplay start.wav", "paplay error.wav"}));
        EXPECT_EQ(box.fake_vosk_calls(),
                  (Lines{model_new, recognizer_new, "vosk_recognizer_free", "vosk_model_free"}));
        EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    }

    Sandbox box;
};

// ---- engine set-up ----------------------------------------------------------

TEST_F(RunOutcome, ModelThatCannotBeCreatedEndsTheRunWithAnError) {
    box.use_fake_vosk({{"FAKE_VOSK_MODEL", "fail"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, set_up);
    EXPECT_EQ(r.err, "Error: Could not load the Vosk model\n");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(), Lines{"paplay error.wav"});
    EXPECT_EQ(box.fake_vosk_calls(), Lines{model_new});
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

TEST_F(RunOutcome, RecognizerThatCannotBeCreatedFreesTheModel) {
    box.use_fake_vosk({{"FAKE_VOSK_RECOGNIZER", "fail"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, set_up);
    EXPECT_EQ(r.err, "Error: Could not create the recognizer\n");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(), Lines{"paplay error.wav"});
    EXPECT_EQ(box.fake_vosk_calls(), (Lines{model_new, recognizer_new, "vosk_model_free"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

// ---- capture that yields nothing --------------------------------------------

TEST_F(RunOutcome, MissingCaptureDeviceIsAnErrorOfTheRecording) {
    box.use_fake_vosk();
    box.use_no_device();
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, initialized);
    expect_failed_recording(r);
}

// The device opens but never delivers a chunk: no chunk was counted, so the
// line gets no closing note.
TEST_F(RunOutcome, DeviceThatNeverDeliversIsAnErrorOfTheRecording) {
    box.use_fake_vosk();
    box.use_fake_alsa({{"FAKE_ALSA_READ", "eio"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, initialized + "Listening... ");
    expect_failed_recording(r);
}

TEST_F(RunOutcome, NobodySpeakingGivesUpAfterThreeSeconds) {
    box.use_fake_vosk();
    // Soft sounds are kept while waiting, but they are not speech.
    hear(repeat(chunk(0), 40) + repeat(chunk(400), 40) + repeat(chunk(0), 100));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, initialized +
                         "Listening...  [timeout - no speech detected in the first 3 seconds]\n");
    expect_failed_recording(r);
}

// ---- what the recognizer makes of the utterance -----------------------------

TEST_F(RunOutcome, FinalResultIsPrintedOverTheProgressLineAndHandedOff) {
    const std::string json = "{\n  \"text\" : \"what time is it\"\n}";
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", json}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              heard + "\r\033[KRecunoscut: " + json + "\nResult saved in /tmp/tovu/speech.json\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), json + "\n");
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(box.cues_played(), (Lines{"paplay start.wav", "paplay stop.wav"}));
    EXPECT_EQ(box.fake_vosk_calls(),
              (Lines{model_new, recognizer_new, accept_one_utterance, "vosk_recognizer_result",
                     "vosk_recognizer_free", "vosk_model_free"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

TEST_F(RunOutcome, PartialResultIsPrintedAndSavedWhenTheFinalOneIsNull) {
    const std::string partial = "{\n  \"partial\" : \"hey tovu open\"\n}";
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", partial}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    // Neither cleaned of the wake phrase nor handed to the processor.
    EXPECT_EQ(r.out, heard + "\r\033[KPartial: " + partial +
                         "\nPartial result saved in /tmp/tovu/speech.json\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), partial + "\n");
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(box.cues_played(), (Lines{"paplay start.wav", "paplay stop.wav"}));
    EXPECT_EQ(box.fake_vosk_calls(),
              (Lines{model_new, recognizer_new, accept_one_utterance, "vosk_recognizer_result",
                     "vosk_recognizer_partial_result", "vosk_recognizer_free", "vosk_model_free"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

TEST_F(RunOutcome, NothingRecognisedPlaysTheErrorCueThenTheStopCue) {
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", "null"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, heard + "(no speech detected)\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(box.tmp("tovu/speech.json")));
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(box.cues_played(),
              (Lines{"paplay start.wav", "paplay error.wav", "paplay stop.wav"}));
    EXPECT_EQ(box.fake_vosk_calls(),
              (Lines{model_new, recognizer_new, accept_one_utterance, "vosk_recognizer_result",
                     "vosk_recognizer_partial_result", "vosk_recognizer_free", "vosk_model_free"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

// A result must be longer than 10 bytes to be used.
TEST_F(RunOutcome, FinalResultOfTenBytesGivesWayToThePartial) {
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"a\":\"hi\"}"},
                       {"FAKE_VOSK_PARTIAL", "{\"partial\" : \"open\"}"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, heard + "\r\033[KPartial: {\"partial\" : \"open\"}\n"
                             "Partial result saved in /tmp/tovu/speech.json\n");
    EXPECT_EQ(box.fake_vosk_calls(),
              (Lines{model_new, recognizer_new, accept_one_utterance, "vosk_recognizer_result",
                     "vosk_recognizer_partial_result", "vosk_recognizer_free", "vosk_model_free"}));
}

TEST_F(RunOutcome, PartialResultOfTenBytesIsNothingRecognised) {
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", "{\"a\":\"hi\"}"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, heard + "(no speech detected)\n");
    EXPECT_EQ(box.cues_played(),
              (Lines{"paplay start.wav", "paplay error.wav", "paplay stop.wav"}));
}

TEST_F(RunOutcome, FinalResultOfElevenBytesIsUsed) {
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\":\"\"}"}});
    hear(one_loud_chunk());
    const Result r = box.run();
    // Used, and then found to hold an empty transcript.
    EXPECT_EQ(r.out, heard + "\r\033[KRecunoscut: {\"text\":\"\"}\n(empty text detected)\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(box.fake_vosk_calls(),
              (Lines{model_new, recognizer_new, accept_one_utterance, "vosk_recognizer_result",
                     "vosk_recognizer_free", "vosk_model_free"}));
}

// ---- the audio that reaches the recognizer ----------------------------------

// The recognizer gets exactly the chunks that the capture keeps: soft ones
// heard while waiting, the loud ones and everything after the first loud
// one, up to the end of the silence, in the order they were heard.
TEST_F(RunOutcome, RecognizerGetsExactlyTheKeptChunksInOrder) {
    std::string heard_audio;
    std::string kept;
    const auto say = [&](const std::string &piece, bool keep) {
        heard_audio += piece;
        if (keep) {
            kept += piece;
        }
    };
    say(repeat(chunk(0), 5), false);
    say(marked_chunk(1, 300), true); // soft: kept while waiting
    say(chunk(250), false);          // not above the keeping level
    say(chunk(-251), true);
    say(marked_chunk(2, 100), false);
    say(chunk(500), true); // kept, but not yet speech
    say(marked_chunk(3, 1500), true);
    for (int i = 0; i < 45; ++i) {
        say(marked_chunk(100 + i, 40), true);
    }
    say(marked_chunk(4, 600), true); // speech again: the quiet run starts over
    for (int i = 0; i < 46; ++i) {
        say(marked_chunk(200 + i, i % 2 == 0 ? 0 : 480), true);
    }
    say(repeat(marked_chunk(5, 3000), 20), false); // after the end
    say(repeat(chunk(0), 200), false);

    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", "null"}});
    hear(heard_audio);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, initialized + "Listening... .. [silence detected]\nProcessing... "
                                   "(no speech detected)\n");
    ASSERT_EQ(box.fake_vosk_samples().size(), kept.size());
    EXPECT_TRUE(box.fake_vosk_samples() == kept) << "the samples differ";
    EXPECT_EQ(box.fake_vosk_calls().at(2),
              "vosk_recognizer_accept_waveform_s " + std::to_string(kept.size() / 2));
}

} // namespace
