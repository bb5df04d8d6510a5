#include "sandbox.h"

#include <gtest/gtest.h>

using namespace sandbox;

TEST(Listen, SpeechIsTranscribedAndHandedOff) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), "{\n  \"text\" : \"open the browser\"\n}\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(box.cues_played(), (std::vector<std::string>{"paplay start.wav", "paplay stop.wav"}));
}

TEST(Listen, CtrlCWhileWaitingForSpeechStopsInOrder) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio_fifo();
    Process run = box.start();
    box.feed(std::string(1024 * 4, '\0'));
    ASSERT_TRUE(run.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());
    run.interrupt();
    ASSERT_TRUE(run.wait_for_output("Stopping program..."));
    box.feed(std::string(1024 * 4, '\0'));
    const Result r = run.finish();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.find("Listening")),
              "Listening... \nStopping program...\n [no speech detected]\n");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_EQ(box.cues_played(), (std::vector<std::string>{"paplay start.wav"}));
}

TEST(Listen, PartialResultIsPrintedAndSaved) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"},
                       {"FAKE_VOSK_PARTIAL", "{\n  \"partial\" : \"hey tovu open\"\n}"}});
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("\r\033[KPartial: {\n  \"partial\" : \"hey tovu open\"\n}\nPartial result "
                         "saved in /tmp/tovu/speech.json\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(box.fake_vosk_calls().back(), "vosk_model_free");
}
