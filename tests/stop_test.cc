// Ctrl-C at each phase of a recognition run: while a cue plays, while the
// capture device opens, while the status is written, while waiting for
// speech, during speech, twice in a row, and while the recognizer decodes.
// The stand-in recognizer keeps the runs fast; the program's own code is
// what is under test.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;

namespace {

const std::string stopping = "\nStopping program...\n";
const std::string handed_off = "Result saved in /tmp/tovu/speech.json\n";
const std::string recognized = R"({"text" : "hey tovu open the browser"})";

// Waits until `pid` sleeps in a kernel function whose name ends with
// `where` ("wait_for_partner": opening a FIFO that has no other end yet;
// "pipe_read": reading an empty pipe).
bool wait_for_sleep_in(pid_t pid, const std::string &where,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = "/proc/" + std::to_string(pid) + "/wchan";
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string wchan = read_file(path);
        if (wchan.size() >= where.size() &&
            wchan.compare(wchan.size() - where.size(), where.size(), where) == 0) {
            return true;
        }
        usleep(1000);
    }
    return false;
}

// Opens `fifo` for writing once somebody has it open for reading; -1 when
// nobody does within `timeout`.
int open_when_read(const std::string &fifo,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO) {
            return fd;
        }
        usleep(1000);
    }
    return -1;
}

// A recognition run with the stand-in recognizer, which recognizes the
// words of the speech fixture, and a processor that does nothing.
void prepare(Sandbox &box, std::map<std::string, std::string> vosk = {}) {
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    vosk.emplace("FAKE_VOSK_RESULT", recognized);
    box.use_fake_vosk(vosk);
    box.add_program("tovu-processor", "exit 0\n");
}

// Replaces the stub cue player: while it plays `cue` it announces
// "<its pid> <its shell's pid>" on `announce` and waits for a line on
// `release`. It logs like the sandbox's own player.
void hold_cue(Sandbox &box, const std::string &cue, const Fifo &announce, const Fifo &release) {
    box.add_program("paplay", "echo \"paplay $(basename \"$1\")\" >> " +
                                  quote(box.root() + "/cues.log") + "\ncase \"$1\" in\n*/" + cue +
                                  ")\n  echo \"$$ $PPID\" > " + quote(announce.path()) +
                                  "\n  read line < " + quote(release.path()) + "\n  ;;\nesac\n");
}

// The vosk calls of a run that stopped before recognition.
const std::vector<std::string> stopped_vosk_calls = {"vosk_model_new /usr/share/extras/tovu/model",
                                                     "vosk_recognizer_new 16000.0",
                                                     "vosk_recognizer_free", "vosk_model_free"};

// The end of every run that a stop request ended.
void expect_stopped(const Sandbox &box, const Result &r) {
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(), (std::vector<std::string>{"paplay start.wav"}));
    EXPECT_EQ(box.fake_vosk_calls(), stopped_vosk_calls);
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

// The end of every run that went on to the hand-off.
void expect_handed_off(const Sandbox &box, const Result &r) {
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, handed_off), 1u) << r.out;
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), "{\"text\" : \"open the browser\"}\n");
    EXPECT_EQ(box.cues_played(), (std::vector<std::string>{"paplay start.wav", "paplay stop.wav"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

// While the stop cue plays the program waits in system(), which ignores
// SIGINT: a Ctrl-C sent to the program alone while `cue` plays is lost, and
// the run ends as it would have. Its result in `r`.
void expect_ctrl_c_lost_during_cue(const std::string &cue, Result &r) {
    Sandbox box;
    prepare(box);
    box.use_audio(fixture("speech.raw"));
    Fifo playing(box.root() + "/playing");
    Fifo release(box.root() + "/release");
    hold_cue(box, cue, playing, release);
    Process run = box.start();
    ASSERT_FALSE(playing.read_line().empty());
    run.interrupt();
    ASSERT_TRUE(release.write_line("done"));
    r = run.finish();
    EXPECT_EQ(r.out.find("Stopping program"), std::string::npos) << r.out;
    expect_handed_off(box, r);
}

// The start cue plays while the device gets ready, not in system(): a
// Ctrl-C then stops the run in order, whether it reaches the program alone
// (the cue plays to its end) or, from a terminal, the player and its shell
// too.
TEST(Stop, CtrlCDuringTheStartCueStopsTheRun) {
    for (const bool whole_group : {false, true}) {
        SCOPED_TRACE(whole_group ? "from the terminal" : "to the program");
        Sandbox box;
        prepare(box);
        box.use_audio(fixture("speech.raw"));
        Fifo playing(box.root() + "/playing");
        Fifo release(box.root() + "/release");
        hold_cue(box, "start.wav", playing, release);
        Process run = box.start();
        const std::string player = playing.read_line();
        ASSERT_FALSE(player.empty());
        run.interrupt();
        if (whole_group) {
            kill(std::stoi(player.substr(player.find(' ') + 1)), SIGINT);
            kill(std::stoi(player), SIGINT);
        } else {
            ASSERT_TRUE(release.write_line("done"));
        }
        const Result r = run.finish();
        EXPECT_EQ(r.out.substr(r.out.find("Vosk initialized!")),
                  "Vosk initialized!\n\n" + stopping);
        expect_stopped(box, r);
    }
}

// A Ctrl-C while the capture device is being opened (here: the device's
// input is a FIFO with no writer yet, so the open waits) ends that wait: the
// run stops at once, without ever listening.
TEST(Stop, CtrlCWhileTheCaptureDeviceOpensStopsBeforeListening) {
    Sandbox box;
    prepare(box);
    const std::string device = box.root() + "/device.fifo";
    ASSERT_EQ(mkfifo(device.c_str(), 0666), 0);
    box.use_audio(device);
    Process run = box.start();
    ASSERT_TRUE(wait_for_sleep_in(run.pid(), "wait_for_partner"));
    run.interrupt();
    const Result r = run.finish();
    EXPECT_EQ(r.out.substr(r.out.find("Vosk initialized!")), "Vosk initialized!\n\n" + stopping);
    expect_stopped(box, r);
}

// Writing the status "listening" runs `mkdir -p` through system(), so a
// Ctrl-C at that moment is lost like one during a cue.
TEST(Stop, CtrlCWhileTheStatusIsWrittenIsLost) {
    Sandbox box;
    prepare(box);
    box.use_audio(fixture("speech.raw"));
    Fifo making(box.root() + "/making");
    Fifo release(box.root() + "/release");
    box.add_program("mkdir", "if [ \"$2\" = /usr/share/extras/tovu ] && [ ! -e " +
                                 quote(box.root() + "/held") + " ]; then\n  touch " +
                                 quote(box.root() + "/held") + "\n  echo making > " +
                                 quote(making.path()) + "\n  read line < " + quote(release.path()) +
                                 "\nfi\nexec /bin/mkdir \"$@\"\n");
    Process run = box.start();
    ASSERT_EQ(making.read_line(), "making");
    run.interrupt();
    ASSERT_TRUE(release.write_line("done"));
    const Result r = run.finish();
    EXPECT_EQ(r.out.find("Stopping program"), std::string::npos) << r.out;
    expect_handed_off(box, r);
}

// Nobody has spoken yet, but soft sounds have been stored.
TEST(Stop, CtrlCWhileWaitingForSpeechDropsTheStoredAudio) {
    Sandbox box;
    prepare(box);
    box.use_audio_fifo();
    Process run = box.start();
    box.feed(chunks(300, 3));
    ASSERT_TRUE(run.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());
    // Blocked in the fourth read, with three soft chunks kept for the file.
    ASSERT_TRUE(wait_for_sleep_in(run.pid(), "pipe_read"));
    EXPECT_TRUE(exists(box.tmp("stt_audio.raw")));
    run.interrupt();
    ASSERT_TRUE(run.wait_for_output(stopping));
    const Result r = run.finish();
    EXPECT_EQ(r.out.substr(r.out.find("Listening")),
              "Listening... " + stopping + " [no speech detected]\n");
    expect_stopped(box, r);
}

// Once speech has begun a stop still ends the capture: nothing is
// recognized and no closing note is printed.
TEST(Stop, CtrlCDuringSpeechStopsWithoutRecognizing) {
    Sandbox box;
    prepare(box);
    box.use_audio_fifo();
    Process run = box.start();
    box.feed(chunks(0, 2) + chunks(1000, 3));
    ASSERT_TRUE(run.wait_for_output("Listening... ..."));
    // Blocked in the next read: a Ctrl-C just before it would find the test
    // device's FIFO read still to come, which no signal then ends.
    ASSERT_TRUE(wait_for_sleep_in(run.pid(), "pipe_read"));
    run.interrupt();
    ASSERT_TRUE(run.wait_for_output(stopping));
    const Result r = run.finish();
    EXPECT_EQ(r.out.substr(r.out.find("Listening")), "Listening... ..." + stopping);
    expect_stopped(box, r);
}

// After the capture a stop changes nothing: the handler prints its line
// (again for a second Ctrl-C, as it stays installed), and recognition and
// hand-off complete.
TEST(Stop, CtrlCOrASecondStartWhileTheRecognizerDecodesLetsTheRunComplete) {
    Sandbox box;
    const std::string gate = box.root() + "/accept.fifo";
    ASSERT_EQ(mkfifo(gate.c_str(), 0666), 0);
    prepare(box, {{"FAKE_VOSK_ACCEPT_GATE", gate}});
    box.use_audio(fixture("speech.raw"));
    Process run = box.start();
    // Someone reads the gate only once the recognizer has been given the
    // audio.
    const int writer = open_when_read(gate);
    ASSERT_GE(writer, 0);
    // What was said is for the user alone while it waits to be decoded.
    struct stat raw {};
    ASSERT_EQ(lstat(box.tmp("stt_audio.raw").c_str(), &raw), 0);
    EXPECT_EQ(raw.st_mode & 07777, 0600u);
    run.interrupt();
    ASSERT_TRUE(run.wait_for_output(stopping));
    run.interrupt();
    ASSERT_TRUE(run.wait_for_output(stopping + stopping));
    // So does a second start, which says so.
    EXPECT_EQ(box.start_beside(run.pid()).finish().out,
              banner + "The tovu-voice that was running has finished listening: left alone\n");
    EXPECT_EQ(write(writer, "x", 1), 1);
    close(writer);
    const Result r = run.finish();
    EXPECT_NE(r.out.find("Processing... " + stopping + stopping + "\r\033[KRecunoscut: "),
              std::string::npos)
        << r.out;
    expect_handed_off(box, r);
    const std::vector<std::string> calls = box.fake_vosk_calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[2].rfind("vosk_recognizer_accept_waveform_s ", 0), 0u);
    EXPECT_EQ(calls[3], "vosk_recognizer_result");
}

// The stop cue is played by system() too.
TEST(Stop, CtrlCDuringTheStopCueIsLost) {
    Result r;
    expect_ctrl_c_lost_during_cue("stop.wav", r);
}

} // namespace
