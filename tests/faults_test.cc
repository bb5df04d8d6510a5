// A capture device that breaks, and a machine that runs out of room: every
// such run must end at once as a failed capture (or a reported write
// failure), never hang, spin or turn the damage into a wrong transcript.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace sandbox;
using namespace std::chrono_literals;

namespace {

long count_calls(const std::vector<std::string> &calls, const std::string &prefix) {
    return std::count_if(calls.begin(), calls.end(), [&](const std::string &line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    });
}

bool contains(const std::vector<std::string> &lines, const std::string &prefix) {
    return count_calls(lines, prefix) > 0;
}

// ---- Capture devices that fail --------------------------------------------

struct DeviceFault {
    const char *name;
    std::map<std::string, std::string> behaviour;
    const char *audio; // what the device delivers while it works
    bool listens;      // the device was set up: "listening" was written
    long most_reads;   // reads the program may try before giving up
};

void PrintTo(const DeviceFault &fault, std::ostream *out) {
    *out << fault.name;
}

class DeadDevice : public ::testing::TestWithParam<DeviceFault> {};

// Every fault ends the run as a failed capture: the message, the error cue,
// the status "ready" and exit status 1, within a second, having tried the
// device a bounded number of times, with nothing left behind and nothing
// handed to the recognizer.
TEST_P(DeadDevice, EndsAtOnceAsAFailedCapture) {
    const DeviceFault &fault = GetParam();
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture(fault.audio));
    box.use_fake_vosk();
    box.use_fake_alsa(fault.behaviour);

    const auto started = std::chrono::steady_clock::now();
    Process run = box.start();
    ASSERT_TRUE(run.wait_for_output("Vosk initialized!", allowed(5s)));
    const auto initialized = std::chrono::steady_clock::now();
    const Result r = run.finish(allowed(5s));
    const auto ended = std::chrono::steady_clock::now();
    const auto to_end = std::chrono::duration_cast<std::chrono::milliseconds>(ended - initialized);
    std::cout << "[ FIGURE   ] " << fault.name << ": run " << (ended - started) / 1ms
              << " ms, from set-up to the end " << to_end.count() << " ms\n";
    RecordProperty("time_to_end_ms", static_cast<int>(to_end.count()));

    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "\nError during recording\n");
    // From set-up to the end: the start cue, the failed capture with its
    // bounded retries, the error cue, the status and the exit.
    EXPECT_LT(to_end, allowed(1000ms));
    EXPECT_EQ(r.out.find("Listening... ") != std::string::npos, fault.listens) << r.out;
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(),
              (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_FALSE(exists(box.tmp("tovu")));

    const auto vosk = box.fake_vosk_calls();
    EXPECT_FALSE(contains(vosk, "vosk_recognizer_accept_waveform_s"));
    ASSERT_FALSE(vosk.empty());
    EXPECT_EQ(vosk.back(), "vosk_model_free");

    const auto alsa = box.fake_alsa_calls();
    EXPECT_LE(count_calls(alsa, "snd_pcm_readi"), fault.most_reads);
    EXPECT_EQ(count_calls(alsa, "snd_pcm_open"), 1);
}

// Reads at which the device breaks in the middle of the utterance: the words
// begin about 0.5 s (15 chunks) into speech.raw.
constexpr long mid_speech = 40;

INSTANTIATE_TEST_SUITE_P(
    Faults, DeadDevice,
    ::testing::Values(
        DeviceFault{"cannot_be_opened", {{"FAKE_ALSA_OPEN", "fail"}}, "speech.raw", false, 0},
        DeviceFault{"parameters_rejected", {{"FAKE_ALSA_PARAMS", "fail"}}, "speech.raw", false, 0},
        DeviceFault{"every_read_fails", {{"FAKE_ALSA_READ", "eio"}}, "speech.raw", true, 16},
        DeviceFault{"overruns_forever", {{"FAKE_ALSA_READ", "epipe"}}, "speech.raw", true, 16},
        DeviceFault{"zero_frames_forever", {{"FAKE_ALSA_READ", "zero"}}, "speech.raw", true, 16},
        DeviceFault{"gone_at_once", {{"FAKE_ALSA_READ", "enodev"}}, "speech.raw", true, 1},
        DeviceFault{"gone_while_waiting_for_speech",
                    {{"FAKE_ALSA_READ", "after:5:enodev"}},
                    "silence.raw",
                    true,
                    6},
        DeviceFault{"gone_in_mid_utterance",
                    {{"FAKE_ALSA_READ", "after:" + std::to_string(mid_speech) + ":enodev"}},
                    "speech.raw",
                    true,
                    mid_speech + 1},
        DeviceFault{"read_fails_and_prepare_fails",
                    {{"FAKE_ALSA_READ", "after:20:eio"}, {"FAKE_ALSA_PREPARE", "fail"}},
                    "speech.raw",
                    true,
                    21},
        DeviceFault{"sixteen_failures_in_mid_utterance",
                    {{"FAKE_ALSA_READ", "after:" + std::to_string(mid_speech) + ":eio:16"}},
                    "speech.raw",
                    true,
                    mid_speech + 16}),
    [](const ::testing::TestParamInfo<DeviceFault> &info) { return std::string(info.param.name); });

// ---- A device that stops delivering -------------------------------------------

// The device says it is ready and then has nothing to read, forever (as
// PulseAudio's plugin does with a suspended source). Nobody spoke, so the
// run gives up about three seconds after it began to listen, as it would
// have with audio, with a message of its own; all the while it rests
// instead of asking the device again and again.
// A run whose capture device delivers nothing from the first read on.
Process start_stalled(Sandbox &box) {
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk();
    box.use_fake_alsa({{"FAKE_ALSA_READ", "stall"}});
    Process run = box.start();
    EXPECT_TRUE(run.wait_for_output("Listening... ", allowed(10s)));
    return run;
}

TEST(StalledDevice, EndsAsAFailedCaptureWhenNobodyCouldHaveSpoken) {
    Sandbox box;
    box.install_cues();
    Process run = start_stalled(box);
    const auto listening = std::chrono::steady_clock::now();
    const Result r = run.finish(allowed(10s));
    const auto took = std::chrono::steady_clock::now() - listening;
    // The wall-clock limit, 3 s without speech and a 0.5 s grace, then the
    // end of the run: its error cue, status and exit, which the upper bound
    // gives a second on a loaded machine.
    const double wall_s = std::chrono::duration<double>(took).count();
    std::cout << "[ FIGURE   ] ended " << wall_s << " s after listening began, CPU " << r.cpu_s
              << " s\n";
    EXPECT_GE(took, 3400ms);
    EXPECT_LE(took, 3500ms + allowed(1000ms));
    // Asking the device again and again would keep a core busy all along;
    // resting, the run's CPU time is mostly its start, well under a quarter
    // of it.
    EXPECT_LE(r.cpu_s, allowed_cpu(wall_s / 4));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "\nError: No audio from the microphone\n\nError during recording\n");
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(box.cues_played(),
              (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_FALSE(contains(box.fake_vosk_calls(), "vosk_recognizer_accept_waveform_s"));
}

// A stop while the device delivers nothing ends the run at once.
TEST(StalledDevice, StopsAtOnce) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        Sandbox box;
        Process run = start_stalled(box);
        // The first read found nothing: the capture waits for the device.
        const std::string alsa_log = box.root() + "/alsa.log";
        for (int i = 0;
             i < 20000 && read_file(alsa_log).find("snd_pcm_readi 0 = -11") == std::string::npos;
             ++i) {
            usleep(500);
        }
        const auto stopped = std::chrono::steady_clock::now();
        kill(run.pid(), signal_number);
        const Result r = run.finish(allowed(5s));
        // The stop itself: the device closed, the audio deleted, the status
        // written (mkdir through the shell) and the exit.
        const auto to_end = std::chrono::steady_clock::now() - stopped;
        std::cout << "[ FIGURE   ] signal " << signal_number << ": the run ended " << to_end / 1ms
                  << " ms after it\n";
        EXPECT_LE(to_end, allowed(200ms));
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out.substr(r.out.find("Listening")), "Listening... \nStopping program...\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    }
}

// A closed terminal ends a whole pipeline: the program gets SIGHUP, and its
// standard output has no reader any more. The stop still runs in order.
TEST(StalledDevice, HangupWithNoReaderOfTheOutputStopsInOrder) {
    Sandbox box;
    Process run = start_stalled(box);
    run.close_stdout();
    kill(run.pid(), SIGHUP);
    const Result r = run.finish(allowed(5s));
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

// The device that broke in mid-utterance had already been heard: what was
// captured is thrown away, not transcribed as if the user had finished.
TEST(DeviceFaults, DeviceGoneInMidUtteranceHadStartedListening) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open\"}"}});
    box.use_fake_alsa({{"FAKE_ALSA_READ", "after:" + std::to_string(mid_speech) + ":enodev"}});
    const Result r = box.run(allowed(5s));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    // Speech had begun (dots), and no transcript came out of it.
    EXPECT_NE(r.out.find("Listening... ."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Recunoscut"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "\nError during recording\n");
    // The device is not prepared again and again once it is gone.
    const auto alsa = box.fake_alsa_calls();
    EXPECT_LE(count_calls(alsa, "snd_pcm_prepare = -19"), 1);
    EXPECT_FALSE(exists(box.tmp("tovu/speech.json")));
}

// A device that fails now and then, but fewer than sixteen times in a row,
// is recovered and the utterance is transcribed in full: failed reads lose
// no audio and do not count as chunks.
TEST(DeviceFaults, ShortRunsOfFailedReadsAreRecovered) {
    for (const char *fault :
         {"after:10:eio:15", "after:30:epipe:15", "after:30:zero:15", "after:5:eio:3"}) {
        SCOPED_TRACE(fault);
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        box.install_cues();
        box.use_audio(fixture("speech.raw"));
        box.use_fake_alsa({{"FAKE_ALSA_READ", fault}});
        const Result r = box.run(allowed(10s));
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(read_file(box.tmp("tovu/speech.json")),
                  "{\n  \"text\" : \"open the browser\"\n}\n");
        EXPECT_EQ(box.status(), "listening\n");
        EXPECT_EQ(box.cues_played(),
                  (std::vector<std::string>{"paplay start.wav", "paplay stop.wav"}));
    }
}

// The same audio with and without a burst of failed reads gives the
// recognizer the same samples.
TEST(DeviceFaults, FailedReadsLoseNoAudio) {
    std::string samples[2];
    for (int i = 0; i < 2; ++i) {
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        box.use_audio(fixture("speech.raw"));
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open the browser\"}"}});
        box.use_fake_alsa(
            i == 0 ? std::map<std::string, std::string>{}
                   : std::map<std::string, std::string>{{"FAKE_ALSA_READ", "after:25:eio:15"}});
        const Result r = box.run(allowed(10s));
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        samples[i] = box.fake_vosk_samples();
    }
    EXPECT_GT(samples[0].size(), 32000u); // more than a second
    EXPECT_TRUE(samples[0] == samples[1]) << samples[0].size() << " vs " << samples[1].size();
}

} // namespace

namespace {

// ---- The stand-ins stay in the program ------------------------------------------

// Every program that the run starts, run by the stand-in libraries' run,
// reports what it was preloaded with: nothing, as on a user's machine. In a
// sanitizer build a preloaded stand-in would also start the sanitizer
// runtime in each of them, and the test would time that, not the program.
TEST(StandIns, ReachNoProgramThatTheRunStarts) {
    struct Case {
        const char *name;
        bool model;
        std::set<std::string> reports; // program:preload
    };
    const Case cases[] = {
        {"recognition", true, {"mkdir:", "paplay:", "tovu-processor:"}},
        {"record-only", false, {"arecord:", "mkdir:"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        RunReports reports(box);
        if (c.model) {
            box.install_model("model", "extras/tovu/model");
        }
        box.install_cues();
        box.use_audio(fixture("speech.raw"));
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open the browser\"}"}});
        box.use_fake_alsa();
        const std::string report =
            "echo \"$(basename \"$0\"):${LD_PRELOAD-}${LD_LIBRARY_PATH-}\" >&7\n";
        box.add_program("mkdir", report + "exec /bin/mkdir \"$@\"\n");
        box.add_program("paplay", report);
        box.add_program("tovu-processor", report);
        box.add_program("arecord", report + "exit 1\n");
        box.run();
        std::set<std::string> lines;
        std::istringstream in(reports.wait_all_ended());
        for (std::string line; std::getline(in, line);) {
            lines.insert(line);
        }
        EXPECT_EQ(lines, c.reports);
        // ... while the program had them, through any wrapper on the way.
        if (c.model) {
            EXPECT_FALSE(box.fake_vosk_calls().empty());
            EXPECT_FALSE(box.fake_alsa_calls().empty());
        }
    }
}

// ---- A full /tmp ------------------------------------------------------------------

// Cue players that also note what /tmp holds, the run's lock aside, when
// the error and stop cues play: the error cue comes after the capture has
// cleaned up, the stop cue at the very end.
void watch_tmp(Sandbox &box) {
    box.install_cues();
    box.add_program("paplay",
                    "echo \"paplay $(basename \"$1\")\" >> " + quote(box.root() + "/cues.log") +
                        "\n[ \"${1##*/}\" = start.wav ] || { echo \"${1##*/}:\"; "
                        "find /tmp -mindepth 1 ! -name 'tovu-voice-*.lock' | sort; } >> " +
                        quote(box.root() + "/tmp.listing") + "\nexit 0\n");
}

std::string tmp_listing(const Sandbox &box) {
    return read_file(box.root() + "/tmp.listing");
}

// A /tmp of `bytes` bytes (whole pages) and at most `inodes` files and
// directories, the root included.
std::string small_tmp(size_t bytes, int inodes = 100) {
    return "mount -t tmpfs -o size=" + std::to_string(bytes) +
           ",nr_inodes=" + std::to_string(inodes) + ",mode=1777 tmpfs /tmp";
}

// /tmp fills up in mid-utterance: the capture ends as a failure with the
// write error, nothing half-captured is transcribed, and the partial raw
// file is removed. A long request fills the first 64 KiB block of the raw
// file in mid-capture; a short one fits in that block and reaches the disk
// only as the capture ends, where the failure must still be told.
TEST(FullTmp, FullWhileCapturingIsAFailedCapture) {
    for (const bool short_request : {false, true}) {
        SCOPED_TRACE(short_request ? "short request" : "long request");
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        watch_tmp(box);
        if (short_request) {
            const std::string audio = box.root() + "/short.raw";
            write_file(audio, chunks(3000, 3) + chunks(0, 400));
            box.use_audio(audio);
        } else {
            box.use_audio(fixture("speech.raw"));
        }
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open the\"}"}});
        box.before_run(small_tmp(16 * 1024));
        const Result r = box.run(allowed(5s));
        EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
        EXPECT_EQ(r.err,
                  "\nError: Could not write to /tmp/stt_audio.raw\n\nError during recording\n");
        EXPECT_NE(r.out.find("Listening... ."), std::string::npos) << r.out; // speech had begun
        EXPECT_EQ(r.out.find("Recunoscut"), std::string::npos) << r.out;
        EXPECT_FALSE(contains(box.fake_vosk_calls(), "vosk_recognizer_accept_waveform_s"));
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_EQ(box.cues_played(),
                  (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
        EXPECT_EQ(tmp_listing(box), "error.wav:\n");
    }
}

// Full from the start: not even the first chunk can be stored.
TEST(FullTmp, FullBeforeTheRunIsAFailedCapture) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    watch_tmp(box);
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk();
    box.before_run(small_tmp(4096) + "\nhead -c 4096 /dev/zero > /tmp/filler");
    const Result r = box.run(allowed(5s));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "\nError: Could not write to /tmp/stt_audio.raw\n\nError during recording\n");
    EXPECT_FALSE(contains(box.fake_vosk_calls(), "vosk_recognizer_accept_waveform_s"));
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_EQ(tmp_listing(box), "error.wav:\n/tmp/filler\n");
}

// No file can be created at all in /tmp.
TEST(FullTmp, NoInodeLeftIsReported) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    watch_tmp(box);
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk();
    box.before_run(small_tmp(1 << 20, 2) + "\ntouch /tmp/filler");
    const Result r = box.run(allowed(5s));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "Error: Could not create /tmp/stt_audio.raw\n\nError during recording\n");
    EXPECT_EQ(box.status(), "ready\n");
}

// The size of the raw audio a run with speech.raw captures.
size_t captured_bytes() {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open the browser\"}"}});
    const Result r = box.run(allowed(5s));
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    return box.fake_vosk_samples().size();
}

// Room for the audio but not for the result: the hand-off is reported as
// failed, no half-written result is left for the processor, and none is
// started.
TEST(FullTmp, FullAtHandOffLeavesNoPartialResult) {
    const size_t audio = captured_bytes();
    ASSERT_GT(audio, 32000u);
    const size_t pages = (audio + 4095) / 4096;
    for (const char *full : {"space", "inodes"}) {
        SCOPED_TRACE(full);
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        watch_tmp(box);
        box.use_audio(fixture("speech.raw"));
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"hey tovu open the browser\"}"}});
        box.add_program("tovu-processor", "echo \"$@\" >&7\n");
        RunReports processor(box);
        // The root, the lock, the raw file and /tmp/tovu: no inode for the
        // result.
        box.before_run(std::string(full) == "space" ? small_tmp(pages * 4096)
                                                    : small_tmp(1 << 20, 4));
        const Result r = box.run(allowed(5s));
        EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("Recunoscut: {\"text\" : \"open the browser\"}\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.err, "Error: Could not write to /tmp/tovu/speech.json\n");
        EXPECT_EQ(r.out.find("Result saved"), std::string::npos) << r.out;
        EXPECT_EQ(
            box.cues_played(),
            (std::vector<std::string>{"paplay start.wav", "paplay error.wav", "paplay stop.wav"}));
        // The result directory stays empty; the raw file goes at the end.
        EXPECT_EQ(tmp_listing(box), "error.wav:\n/tmp/stt_audio.raw\n/tmp/tovu\n"
                                    "stop.wav:\n/tmp/tovu\n");
        EXPECT_EQ(processor.wait_all_ended(), "");
    }
}

// ---- Memory -----------------------------------------------------------------------

// Sets an environment variable of the test process for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) {
            old_ = old;
            had_ = true;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

// The memory a run over `audio` takes, with the stand-in recognizer.
struct Footprint {
    size_t captured = 0;     // bytes of audio handed to the recognizer
    long capture_growth = 0; // heap growth from the first read to the last
    long peak_heap = 0;      // highest heap use of the whole run
};

// Heap in use at each read, from the failing device's log (which here lets
// every read through).
long heap_growth_while_capturing(const std::vector<std::string> &alsa) {
    long low = -1;
    long high = -1;
    for (const std::string &line : alsa) {
        const size_t at = line.find(" heap=");
        if (line.rfind("snd_pcm_readi", 0) != 0 || at == std::string::npos) {
            continue;
        }
        const long heap = std::stol(line.substr(at + 6));
        low = low < 0 ? heap : std::min(low, heap);
        high = std::max(high, heap);
    }
    return low < 0 ? -1 : high - low;
}

// Highest heap use over the snapshots that massif took.
long peak_heap(const std::string &massif_out) {
    long peak = -1;
    long heap = 0;
    for (const std::string &line : read_lines(massif_out)) {
        if (line.rfind("mem_heap_B=", 0) == 0) {
            heap = std::stol(line.substr(11));
        } else if (line.rfind("mem_heap_extra_B=", 0) == 0) {
            peak = std::max(peak, heap + std::stol(line.substr(17)));
        }
    }
    return peak;
}

Footprint footprint(const char *audio) {
    Footprint f;
    for (bool massif : {false, true}) {
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        box.use_audio(fixture(audio));
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "{\"text\" : \"open the browser\"}"}});
        const std::string out = box.root() + "/massif.out";
        if (massif) {
            const ScopedEnv wrapper("TOVU_RUN_WRAPPER",
                                    "valgrind -q --tool=massif --vgdb=no --massif-out-file=" +
                                        quote(out));
            const Result r = box.run(60s);
            EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
            f.peak_heap = peak_heap(out);
        } else {
            box.use_fake_alsa({{"FAKE_ALSA_HEAP", "1"}});
            const Result r = box.run(10s);
            EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
            f.capture_growth = heap_growth_while_capturing(box.fake_alsa_calls());
            f.captured = box.fake_vosk_samples().size();
        }
    }
    return f;
}

// Capturing streams the audio to the raw file: the heap does not grow from
// one chunk to the next, and a ten-second utterance costs no more memory
// than a short one beyond the buffer that the whole file is read back into
// for the recognizer.
TEST(Memory, LongUtteranceCostsOnlyItsReadBackBuffer) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps its own heap";
#endif
    if (std::getenv("TOVU_RUN_WRAPPER") != nullptr) {
        GTEST_SKIP() << "already under a wrapper";
    }
    const Footprint short_run = footprint("speech.raw");
    const Footprint long_run = footprint("long_speech.raw");
    std::cout << "[ FIGURE   ] " << short_run.captured << " bytes of audio: heap growth while "
              << "capturing " << short_run.capture_growth << ", peak heap " << short_run.peak_heap
              << "\n[ FIGURE   ] " << long_run.captured
              << " bytes of audio: heap growth while capturing " << long_run.capture_growth
              << ", peak heap " << long_run.peak_heap << "\n";
    // The long run used the whole ten-second budget.
    EXPECT_EQ(long_run.captured, 312u * 1024u);
    ASSERT_GE(short_run.capture_growth, 0);
    ASSERT_GT(short_run.peak_heap, 0);
    EXPECT_LE(short_run.capture_growth, 4096);
    EXPECT_LE(long_run.capture_growth, 4096);
    const long read_back = static_cast<long>(long_run.captured - short_run.captured);
    EXPECT_LE(long_run.peak_heap - short_run.peak_heap, read_back);
}

} // namespace
