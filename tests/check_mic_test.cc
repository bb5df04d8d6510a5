// tovu-voice-check-mic on recorded levels through the file device, and the
// device that cannot take the capture's format, refused by both programs.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using namespace sandbox;

namespace {

struct Level {
    const char *name;
    const char *fixture;
    int exit_status;
    const char *replay;
    const char *verdict;
};

const Level levels[] = {
    {"Normal", "speech.raw", 0, "started recording at 0.48 s and ended it by silence",
     "Verdict: fine"},
    {"Quiet", "quiet_speech.raw", 1, "never started recording",
     "Verdict: too quiet: raise the input volume by 7.4 dB."},
    {"Noisy", "noisy_speech.raw", 1,
     "started recording at 0.00 s and was still recording at 8.00 s",
     "Verdict: too noisy: the room's noise"},
    {"Silent", "silence.raw", 1, "never started recording", "Verdict: nothing heard"},
    {"Loud", "loud_speech.raw", 0, "started recording at 0.48 s and ended it by silence",
     "Verdict: too loud: your speech clips. Lower the input volume by 6.0 dB."},
};

class CheckMic : public ::testing::TestWithParam<Level> {};

TEST_P(CheckMic, ReplaysAndJudges) {
    Sandbox box;
    box.use_audio(fixture(GetParam().fixture));
    box.set_command(quote(check_mic_program()));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, GetParam().exit_status) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Device: ALSA's \"default\", through ALSA: S16_LE, 16000 Hz, mono\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(std::string("What tovu-voice would have done: ") + GetParam().replay),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(GetParam().verdict), std::string::npos) << r.out;
    // Plain ALSA: the remedy is named, nothing is changed.
    EXPECT_EQ(r.out.find("Changed the input volume"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Levels, CheckMic, ::testing::ValuesIn(levels),
                         [](const auto &info) { return std::string(info.param.name); });

// A default device of two channels only, as a card's raw device is.
const std::string stereo_only =
    "pcm.!default { type multi slaves.a { pcm { type null } channels 2 }"
    " bindings.0 { slave a channel 0 } bindings.1 { slave a channel 1 } }\n";
std::string refusal(const std::string &offered = "2 channels") {
    return "Error: The microphone device offers only " + offered +
           ", not the 16000 Hz mono S16_LE audio that tovu-voice reads: let ALSA convert it (the "
           "sound server's \"default\" device, or \"plughw:\" instead of \"hw:\" in ~/.asoundrc)\n";
}

TEST(WrongFormat, TovuVoiceRefusesTheDevice) {
    Sandbox box;
    std::filesystem::create_directories(box.data_dir("model"));
    box.use_fake_vosk();
    box.install_cues();
    box.use_asoundrc(stereo_only);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, initialized);
    EXPECT_EQ(r.err, refusal());
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(),
              (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
}

// Stereo only; and 16 kHz only in stereo, mono only at 44.1 kHz.
TEST(WrongFormat, CheckReportsTheFormat) {
    for (const bool paired : {false, true}) {
        Sandbox box;
        box.use_asoundrc(stereo_only);
        if (paired) {
            box.use_audio(fixture("speech.raw"));
            box.use_fake_alsa({{"FAKE_ALSA_FORMAT", "paired"}});
        }
        const std::string offered =
            paired ? "2 channels at 16000 Hz, 44100 Hz in mono" : "2 channels";
        box.set_command(quote(check_mic_program()));
        const Result r = box.run();
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "Device: ALSA's \"default\", which offers only " + offered + "\n");
        EXPECT_EQ(r.err, refusal(offered));
    }
}

TEST(CheckNoDevice, SaysSoInOneLine) {
    Sandbox box;
    box.use_no_device();
    box.set_command(quote(check_mic_program()));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: No microphone: ALSA's default capture device cannot be opened (plug "
                     "one in, or check ~/.asoundrc and the sound server)\n");
}

// Ctrl-C while listening to a device that delivers nothing more ends the
// check at once; and it never listens beside a run of tovu-voice.
TEST(CheckStop, CtrlCEndsTheCheckAtOnce) {
    Sandbox box;
    box.use_audio_fifo();
    box.set_command(quote(check_mic_program()));
    Process check = box.start();
    ASSERT_TRUE(check.wait_for_output("Listening for up to 8 s...\n"));
    check.interrupt();
    const Result r = check.finish(allowed(std::chrono::seconds(2)));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("\nStopping program...\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Verdict"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(CheckLock, RefusesToRunBesideTovuVoice) {
    Sandbox box;
    std::filesystem::create_directories(box.data_dir("model"));
    box.use_fake_vosk();
    box.use_audio_fifo();
    Process voice = box.start();
    // Fed first: the test device's buffer then holds audio when the stop
    // closes it, which valgrind would otherwise see written out unset.
    box.feed(std::string(4096, '\0'));
    ASSERT_TRUE(voice.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());
    box.set_command(quote(check_mic_program()));
    const Result r = box.start_beside(voice.pid()).finish();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Error: tovu-voice (or another check) is running: the check cannot listen "
                     "beside it; run it once that has ended\n");
    voice.interrupt();
    const Result v = voice.finish();
    EXPECT_EQ(v.exit_status, 0) << v.err;
}

} // namespace
