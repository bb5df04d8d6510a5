// The run without a speech model: the notice, ten seconds recorded by
// arecord (the real one against the sandbox's capture device, or stubs that
// misbehave on purpose) and Ctrl-C during the recording. What is planted at
// the WAV path is covered with the other fixed paths in hostile_tmp_test.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;
namespace fs = std::filesystem;

namespace {

const std::string notice =
    "NOTE: I could not find the Vosk model!\n"
    "Download a model from: https://alphacephei.com/vosk/models\n"
    "Then set VOSK_MODEL_PATH or place the model in /usr/share/extras/tovu/model/ (e.g. "
    "model/vosk-model-en-us-0.22-lgraph/) or /usr/share/vosk-model-*\n\n"
    "The program will only record audio.\n\n";

// Everything the program prints without a model, ending with `outcome` on
// the "Recording audio... " line.
std::string record_only_output(const std::string &outcome) {
    return banner + notice + "Recording audio... " + outcome;
}

// What arecord writes for "-d 10 -f S16_LE -r 16000 -c 1 -t wav": a 44-byte
// header and 10 s of 2-byte mono samples at 16000 Hz.
constexpr long ten_second_wav_size = 44 + 10 * 16000 * 2;

// Start of a stub arecord's script: $f is the file it is asked to write.
const std::string stub_prologue = "for f in \"$@\"; do :; done\n";

// Exit statuses of a record-only run: a recording made or stopped, or one
// that failed ("Error").
constexpr int exit_ok = 0;
constexpr int exit_error = 1;

// Checks the end state every record-only run shares: `exit_status`, the
// status "ready", no cue and no WAV file left in /tmp.
void expect_clean_end(const Sandbox &box, const Result &r, int exit_status) {
    EXPECT_EQ(r.exit_status, exit_status) << r.out << r.err;
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_TRUE(box.cues_played().empty());
    EXPECT_FALSE(exists(box.tmp("stt_audio.wav")));
}

TEST(RecordOnly, RealArecordRecordsTenSecondsAndReportsWhatItWrote) {
    Sandbox box;
    box.install_cues();
    // More than the ten seconds that arecord asks for.
    box.use_audio(fixture("long_speech.raw"));
    // The real recorder, watched: the size and mode of the file it wrote,
    // and a copy of it.
    box.add_program("arecord", stub_prologue + "/usr/bin/arecord \"$@\"\nrc=$?\n" +
                                   "stat -c '%s %a' \"$f\" > " + quote(box.root() + "/written") +
                                   "\ncp \"$f\" " + quote(box.root() + "/copy.wav") +
                                   "\nexit $rc\n");
    const Result r = box.run();
    expect_clean_end(box, r, exit_ok);
    const std::string written = read_file(box.root() + "/written");
    ASSERT_FALSE(written.empty()) << r.err;
    const long size = std::stol(written);
    EXPECT_EQ(r.out, record_only_output("OK (" + std::to_string(size) + " bytes)\n"));
    EXPECT_EQ(size, ten_second_wav_size);
    // Only the user may read the recording while it exists.
    EXPECT_EQ(written.substr(written.find(' ') + 1), "600\n");
    EXPECT_EQ(r.err, "");

    // It holds the first ten seconds of what the capture device delivered.
    const std::string wav = read_file(box.root() + "/copy.wav");
    ASSERT_EQ(static_cast<long>(wav.size()), size);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    EXPECT_TRUE(wav.substr(44) ==
                read_file(fixture("long_speech.raw")).substr(0, ten_second_wav_size - 44));
}

TEST(RecordOnly, RealArecordFoundOnTheSystemPath) {
    Sandbox box;
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    const Result r = box.run();
    expect_clean_end(box, r, exit_ok);
    EXPECT_EQ(r.out,
              record_only_output("OK (" + std::to_string(ten_second_wav_size) + " bytes)\n"));
    EXPECT_EQ(r.err, "");
}

TEST(RecordOnly, ArecordMissingFromPathIsAnError) {
    Sandbox box;
    box.install_cues();
    // The real arecord would succeed with this device: it must not be found.
    box.use_audio(fixture("speech.raw"));
    fs::create_symlink("/bin/mkdir", box.root() + "/bin/mkdir");
    box.set_path(box.root() + "/bin");
    const Result r = box.run();
    expect_clean_end(box, r, exit_error);
    EXPECT_EQ(r.out, record_only_output("Error\n"));
    EXPECT_EQ(r.err, "");
}

struct StubCase {
    const char *name;
    const char *script; // after stub_prologue
    const char *outcome;
    int exit_status;
};

void PrintTo(const StubCase &stub, std::ostream *out) {
    *out << stub.name;
}

class RecorderStub : public ::testing::TestWithParam<StubCase> {};

TEST_P(RecorderStub, OutcomeIsReportedOnTheRecordingLine) {
    Sandbox box;
    box.install_cues();
    box.add_program("arecord", stub_prologue + GetParam().script);
    const Result r = box.run();
    expect_clean_end(box, r, GetParam().exit_status);
    EXPECT_EQ(r.out, record_only_output(GetParam().outcome));
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    RecordOnly, RecorderStub,
    ::testing::Values(StubCase{"Records1000Bytes", "head -c 1000 /dev/zero > \"$f\"\n",
                               "OK (1000 bytes)\n", exit_ok},
                      StubCase{"ExitsNonZero", "head -c 1000 /dev/zero > \"$f\"\nexit 3\n",
                               "Error\n", exit_error},
                      StubCase{"WritesOnlyTheHeader", "head -c 44 /dev/zero > \"$f\"\n", "Error\n",
                               exit_error},
                      StubCase{"WritesOneByteMoreThanTheHeader", "head -c 45 /dev/zero > \"$f\"\n",
                               "OK (45 bytes)\n", exit_ok},
                      StubCase{"KilledBySignal", "head -c 1000 /dev/zero > \"$f\"\nkill -9 $$\n",
                               "Error\n", exit_error},
                      StubCase{"LeavesNoFile", "rm -f \"$f\"\n", "Error\n", exit_error},
                      StubCase{"WritesNothing", "exit 0\n", "Error\n", exit_error}),
    [](const ::testing::TestParamInfo<StubCase> &info) { return std::string(info.param.name); });

TEST(RecordOnly, ArecordGetsExactlyTheseArguments) {
    Sandbox box;
    box.add_program("arecord",
                    stub_prologue + "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                        quote(box.root() + "/args") + "\nhead -c 1000 /dev/zero > \"$f\"\n");
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, exit_ok) << r.err;
    EXPECT_EQ(read_lines(box.root() + "/args"),
              (std::vector<std::string>{"-q", "-d", "10", "-f", "S16_LE", "-r", "16000", "-c", "1",
                                        "-t", "wav", "/tmp/stt_audio.wav"}));
}

// Ctrl-C, SIGTERM and SIGHUP alike.
TEST(RecordOnly, StopTerminatesTheRecorderAndStops) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        Sandbox box;
        box.install_cues();
        Fifo started(box.root() + "/started");
        const std::string log = quote(box.root() + "/recorder.log");
        // Records "forever" until SIGTERM; says when it has begun.
        box.add_program("arecord", stub_prologue + "trap \"echo TERM >> " + log +
                                       "; kill \\$sleeper; exit 143\" TERM\n"
                                       "head -c 1000 /dev/zero > \"$f\"\n"
                                       "sleep 30 >/dev/null 2>&1 &\nsleeper=$!\n"
                                       "echo started > " +
                                       quote(started.path()) +
                                       "\nwait $sleeper\necho finished >> " + log + "\n");
        Process run = box.start();
        ASSERT_EQ(started.read_line(), "started");
        EXPECT_TRUE(exists(box.tmp("stt_audio.wav")));
        kill(run.pid(), signal_number);
        const Result r = run.finish(std::chrono::seconds(10));
        // The recorder ended by the stop fails, but a stopped run is no failure.
        expect_clean_end(box, r, exit_ok);
        EXPECT_EQ(r.out, record_only_output("\nStopping program...\nProgram stopped.\n"));
        EXPECT_EQ(read_file(box.root() + "/recorder.log"), "TERM\n");
        EXPECT_EQ(r.err, "");
    }
}

// The stop signals are held back from just before the fork until the
// child's id is known, so a stop at any moment around the start of the
// recorder either comes before the fork (no recorder is started) or
// terminates it.
TEST(RecordOnly, CtrlCAsTheRecorderStartsNeverLeavesItRunning) {
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        Sandbox box;
        box.add_program("arecord", "exec sleep 30 >/dev/null 2>&1\n");
        Process run = box.start();
        ASSERT_TRUE(run.wait_for_output("Recording audio... "));
        kill(run.pid(), i % 2 == 0 ? SIGINT : SIGTERM);
        const Result r = run.finish(std::chrono::seconds(10));
        EXPECT_EQ(r.exit_status, exit_ok) << r.err;
        EXPECT_EQ(r.out, record_only_output("\nStopping program...\nProgram stopped.\n"));
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_FALSE(exists(box.tmp("stt_audio.wav")));
    }
}

} // namespace
