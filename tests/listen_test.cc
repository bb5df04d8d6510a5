// Listening through the real binary: the real recognizer end to end, and
// Ctrl-C at the moments where it must end the run in order.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;

namespace {

using Lines = std::vector<std::string>;

// ---- the real recognizer ----------------------------------------------------

TEST(RealRecognizer, SpokenRequestIsTranscribedWithoutTheWakePhrase) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.add_program("tovu-processor", "exit 0\n");
    box.use_audio(fixture("speech.raw"));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;

    const std::string json = "{\n  \"text\" : \"open the browser\"\n}";
    const std::string listening = initialized + "Listening... ";
    ASSERT_EQ(r.out.substr(0, listening.size()), listening);
    const std::string rest = r.out.substr(listening.size());
    const size_t dots = rest.find_first_not_of('.');
    EXPECT_GT(dots, 0u) << r.out;
    EXPECT_EQ(rest.substr(dots), " [silence detected]\nProcessing... \r\033[KRecunoscut: " + json +
                                     "\nResult saved in /tmp/tovu/speech.json\n");
    EXPECT_EQ(count_of(r.err, "Error"), 0u) << r.err;

    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), json + "\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(box.cues_played(), (Lines{"paplay start.wav", "paplay stop.wav"}));
}

TEST(RealRecognizer, EmptyModelDirectoryCannotBeLoaded) {
    Sandbox box;
    std::filesystem::create_directories(box.data_dir("model"));
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, set_up);
    ASSERT_GE(r.err.size(), 37u);
    EXPECT_EQ(r.err.substr(r.err.size() - 37), "Error: Could not load the Vosk model\n");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(), Lines{"paplay error.wav"});
}

// ---- Ctrl-C, SIGTERM, SIGHUP ----------------------------------------------

// A run that listens to a FIFO the test feeds, with the stand-in recognizer,
// and is stopped by the signal of the parameter. The program waits in a read
// of the FIFO that only more audio would end: the stop must end it alone.
class StopWhileListening : public ::testing::TestWithParam<int> {
  protected:
    StopWhileListening() {
        std::filesystem::create_directories(box.data_dir("model"));
        box.install_cues();
        box.use_fake_vosk();
        box.use_audio_fifo();
        run.emplace(box.start());
    }

    // Feeds `audio` and waits until the program has dealt with all of it and
    // waits for more.
    void hear(const std::string &audio) {
        box.feed(audio);
        ASSERT_TRUE(box.wait_until_fed());
        ASSERT_TRUE(wait_until_reading(run->pid()));
    }

    // Waits until `pid` sleeps in a read of an empty pipe ("pipe_read", or
    // "anon_pipe_read" in newer kernels): the audio FIFO is the only pipe
    // the program reads.
    static bool wait_until_reading(pid_t pid) {
        const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (read_file(wchan).find("pipe_read") == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            usleep(500);
        }
        return true;
    }

    void stop() {
        kill(run->pid(), GetParam());
        ASSERT_TRUE(run->wait_for_output("Stopping program...\n"));
    }

    // Everything a stopped run must leave behind.
    void expect_stopped_in_order(const Result &r) {
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
        EXPECT_FALSE(exists(box.tmp("tovu/speech.json")));
        EXPECT_EQ(box.cues_played(), Lines{"paplay start.wav"});
        EXPECT_EQ(box.fake_vosk_calls(), (Lines{"vosk_model_new /usr/share/extras/tovu/model",
                                                "vosk_recognizer_new 16000.0",
                                                "vosk_recognizer_free", "vosk_model_free"}));
    }

    Sandbox box;
    std::optional<Process> run;
};

TEST_P(StopWhileListening, BeforeSpeech) {
    ASSERT_TRUE(run->wait_for_output("Listening... "));
    ASSERT_NO_FATAL_FAILURE(hear(chunks(0, 4)));
    ASSERT_NO_FATAL_FAILURE(stop());
    const Result r = run->finish();
    EXPECT_EQ(r.out, initialized + "Listening... \nStopping program...\n [no speech detected]\n");
    expect_stopped_in_order(r);
}

TEST_P(StopWhileListening, AfterSpeech) {
    ASSERT_TRUE(run->wait_for_output("Listening... "));
    ASSERT_NO_FATAL_FAILURE(hear(chunks(0, 3) + chunks(3000, 2) + chunks(0, 4)));
    ASSERT_NO_FATAL_FAILURE(stop());
    const Result r = run->finish();
    EXPECT_EQ(r.out, initialized + "Listening... ..\nStopping program...\n");
    expect_stopped_in_order(r);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopWhileListening, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// Ctrl-C while the model loads does not cut the set-up short, but no
// listening starts after it. The model's configuration is a FIFO here, so
// the load waits at a known point until the test lets it go on.
TEST(StopDuringSetUp, SetUpCompletesAndNothingIsHeard) {
    Sandbox box;
    // Outside the overlaid /usr/share, whose FIFOs would not meet the
    // test's end.
    const std::string model = box.root() + "/model";
    std::filesystem::copy(fixture("model"), model, std::filesystem::copy_options::recursive);
    std::filesystem::create_directories(box.data_dir());
    std::filesystem::create_directory_symlink(model, box.data_dir("model"));
    const std::string conf_path = model + "/conf/model.conf";
    const std::string conf = read_file(conf_path);
    ASSERT_FALSE(conf.empty());
    ASSERT_EQ(unlink(conf_path.c_str()), 0);
    ASSERT_EQ(mkfifo(conf_path.c_str(), 0644), 0);
    box.install_cues();
    box.use_audio(fixture("speech.raw"));

    Process run = box.start();
    // Opening the write end succeeds once the program has opened the other.
    int conf_fd = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((conf_fd = open(conf_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        ASSERT_EQ(errno, ENXIO) << std::strerror(errno);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the model was never read";
        usleep(500);
    }
    run.interrupt();
    EXPECT_TRUE(run.wait_for_output("Stopping program...\n"));
    EXPECT_EQ(write(conf_fd, conf.data(), conf.size()), static_cast<ssize_t>(conf.size()));
    close(conf_fd);
    const Result r = run.finish();

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, set_up + "\nStopping program...\nVosk initialized!\n\n");
    EXPECT_EQ(count_of(r.err, "Error"), 0u) << r.err;
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(), Lines{"paplay start.wav"});
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

} // namespace
