// What a run leaves for the rest of the assistant: the cleaned result in
// /tmp/tovu/speech.json and tovu-processor started in the background with
// that path, or a partial result saved without starting anything, or a clear
// error when the result file cannot be written.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;
namespace fs = std::filesystem;

namespace {

// A stand-in processor that reports its name, its arguments, its working
// directory and the result file as it found it.
std::string processor_script(const std::string &name) {
    return "{ echo \"" + name +
           ": $# argument(s): $*\"; echo \"cwd: $(pwd)\"; cat -- \"$1\"; } >&7\n";
}

// What processor_script(name) reports when started as the program must start
// it, from `cwd`, with `json` in the result file.
std::string processor_report(const std::string &name, const std::string &cwd,
                             const std::string &json) {
    return name + ": 1 argument(s): /tmp/tovu/speech.json\ncwd: " + cwd + "\n" + json + "\n";
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

const std::string opened_browser = "{\n  \"text\" : \"open the browser\"\n}";
const std::string saved = "Result saved in /tmp/tovu/speech.json\n";
const std::string write_error = "Error: Could not write to /tmp/tovu/speech.json\n";

const std::vector<std::string> start_stop = {"paplay start.wav", "paplay stop.wav"};
const std::vector<std::string> start_error_stop = {"paplay start.wav", "paplay error.wav",
                                                   "paplay stop.wav"};

// A run of the real recognizer on "hey tovu open the browser" with `model`,
// a processor on PATH and the cues installed.
void prepare_real_run(Sandbox &box, const std::string &model) {
    box.install_model(model, "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    box.add_program("tovu-processor", processor_script("path processor"));
}

// A run of the stand-in recognizer whose final result is `json`.
void prepare_fake_run(Sandbox &box, const std::string &json) {
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", json}});
    box.add_program("tovu-processor", processor_script("path processor"));
}

// A user without a passwd entry, for the cases where root's disregard of
// permission bits would hide the failure.
constexpr uid_t user = 1236;

void own(const std::string &path) {
    ASSERT_EQ(lchown(path.c_str(), user, user), 0) << path << ": " << std::strerror(errno);
}

// Lets `user` run the program in `box`: their data directory, logs they may
// write.
void run_as_user(Sandbox &box) {
    own(box.data_dir());
    write_file(box.root() + "/cues.log", "", 0666);
    write_file(box.root() + "/vosk.log", "", 0666);
    write_file(box.root() + "/vosk.samples", "", 0666);
    box.run_as(user, user);
}

// Everything a final result that cannot be saved must lead to: the error,
// the error cue, then the stop cue as at every normal end, and status 1.
void expect_not_saved(const Sandbox &box, const Result &r, RunReports &reports) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recunoscut: {\"text\" : \"open the browser\"}\n")) << r.out;
    EXPECT_FALSE(has(r.out, "saved")) << r.out;
    EXPECT_TRUE(r.err.ends_with(write_error)) << r.err;
    EXPECT_EQ(box.cues_played(), start_error_stop);
    EXPECT_EQ(reports.wait_all_ended(), "") << "a processor was started";
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

} // namespace

// ---- A final result, through the real recognizer ------------------------------------

TEST(HandOff, CleanedResultIsSavedAndTheProcessorStartedWithItsPath) {
    Sandbox box;
    prepare_real_run(box, "model");
    RunReports reports(box);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\r\033[KRecunoscut: " + opened_browser + "\n" + saved)) << r.out;
    EXPECT_FALSE(has(r.err, "Error")) << r.err;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), opened_browser + "\n");
    // Started once, with the path as its only argument, in the program's
    // working directory, once the file was complete.
    EXPECT_EQ(reports.wait_all_ended(),
              processor_report("path processor", box.root(), opened_browser));
    EXPECT_EQ(box.cues_played(), start_stop);
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
}

TEST(HandOff, ProcessorIsNotWaitedFor) {
    Sandbox box;
    prepare_real_run(box, "model");
    // The processor waits for a line that the test writes only once the
    // program has ended. Opened for writing too, so that neither side blocks
    // in open().
    const std::string release = box.root() + "/release.fifo";
    ASSERT_EQ(mkfifo(release.c_str(), 0666), 0) << std::strerror(errno);
    const int release_fd = open(release.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(release_fd, 0) << std::strerror(errno);
    box.add_program("tovu-processor",
                    "read line < '" + release + "'\necho \"released $line\" >&7\n");
    RunReports reports(box);
    const Result r = box.start().finish(std::chrono::seconds(10));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(box.cues_played(), start_stop);
    EXPECT_EQ(write(release_fd, "now\n", 4), 4);
    EXPECT_EQ(reports.wait_all_ended(), "released now\n");
    close(release_fd);
}

TEST(HandOff, ProcessorInTheWorkingDirectoryWinsOverTheOneOnPath) {
    Sandbox box;
    prepare_real_run(box, "model");
    const std::string cwd = box.root() + "/work";
    box.set_cwd(cwd);
    write_file(cwd + "/tovu-processor", "#!/bin/sh\n" + processor_script("local processor"), 0755);
    RunReports reports(box);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(has(r.out, saved)) << r.out;
    EXPECT_EQ(reports.wait_all_ended(), processor_report("local processor", cwd, opened_browser));
}

TEST(HandOff, NonExecutableProcessorInTheWorkingDirectoryIsChosenAndNothingRuns) {
    Sandbox box;
    prepare_real_run(box, "model");
    const std::string cwd = box.root() + "/work";
    box.set_cwd(cwd);
    write_file(cwd + "/tovu-processor", "#!/bin/sh\n" + processor_script("local processor"), 0644);
    RunReports reports(box);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(has(r.out, saved)) << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), opened_browser + "\n");
    // The shell's complaint about ./tovu-processor goes to /dev/null.
    EXPECT_FALSE(has(r.err, "tovu-processor")) << r.err;
    EXPECT_EQ(box.cues_played(), start_stop);
    // Neither processor ran: the local one cannot, the one on PATH is not
    // looked for.
    EXPECT_EQ(reports.wait_all_ended(), "");
}

// ---- Empty transcripts, through the real recognizer ---------------------------------

// A transcript that is empty once cleaned ends the run before the hand-off.
void expect_empty_transcript(const Sandbox &box, const Result &r, RunReports &reports,
                             const std::string &printed) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\r\033[KRecunoscut: " + printed + "\n(empty text detected)\n"))
        << r.out;
    EXPECT_FALSE(has(r.out, "saved")) << r.out;
    EXPECT_EQ(box.cues_played(),
              (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
    EXPECT_EQ(box.status(), "ready\n");
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    // The previous result is left alone and nothing is started.
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), "{\"text\" : \"the previous request\"}\n");
    EXPECT_EQ(reports.wait_all_ended(), "");
}

TEST(HandOffEmpty, TranscriptOfOnlyTheWakeWordsEndsTheRun) {
    Sandbox box;
    prepare_real_run(box, "model_prefix_only");
    write_file(box.tmp("tovu/speech.json"), "{\"text\" : \"the previous request\"}\n");
    RunReports reports(box);
    const Result r = box.run();
    expect_empty_transcript(box, r, reports, "{\n  \"text\" : \"\"\n}");
}

TEST(HandOffEmpty, NothingDecodedEndsTheRun) {
    Sandbox box;
    prepare_real_run(box, "model_deaf");
    write_file(box.tmp("tovu/speech.json"), "{\"text\" : \"the previous request\"}\n");
    RunReports reports(box);
    const Result r = box.run();
    expect_empty_transcript(box, r, reports, "{\"text\": \"\"}");
}

// ---- Partial results, through the stand-in recognizer -------------------------------

TEST(HandOffPartial, SavedOverThePreviousResultButNeitherCleanedNorHandedOff) {
    for (const std::string &partial : {
             std::string("{\n  \"partial\" : \"hey tovu open\"\n}"),
             // Would lose its wake words, or end the run as empty, if it were
             // treated as a final result.
             std::string("{\"text\" : \"hey tovu open\"}"),
             std::string("{\"text\" : \"hey tovu\"}"),
             std::string("{\"partial\" : \"\"}"),
         }) {
        SCOPED_TRACE(partial);
        Sandbox box;
        box.install_model("model", "extras/tovu/model");
        box.install_cues();
        box.use_audio(fixture("speech.raw"));
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", partial}});
        box.add_program("tovu-processor", processor_script("path processor"));
        write_file(box.tmp("tovu/speech.json"),
                   "{\n  \"text\" : \"a much longer previous request "
                   "that the partial result must not leave behind\"\n}\n");
        RunReports reports(box);
        const Result r = box.run();
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(r.out.ends_with("\r\033[KPartial: " + partial +
                                    "\nPartial result saved in /tmp/tovu/speech.json\n"))
            << r.out;
        EXPECT_FALSE(has(r.out, "Recunoscut")) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), partial + "\n");
        EXPECT_EQ(box.cues_played(), start_stop);
        EXPECT_EQ(box.status(), "listening\n");
        EXPECT_EQ(reports.wait_all_ended(), "");
    }
}

TEST(HandOffPartial, UnwritableResultFileIsNotReported) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.install_cues();
    box.use_audio(fixture("speech.raw"));
    const std::string partial = "{\n  \"partial\" : \"open\"\n}";
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", "null"}, {"FAKE_VOSK_PARTIAL", partial}});
    write_file(box.tmp("tovu"), "not a directory\n");
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("\r\033[KPartial: " + partial + "\n")) << r.out;
    EXPECT_FALSE(has(r.err, "Error")) << r.err; // only mkdir's own complaint
    EXPECT_EQ(box.cues_played(), start_stop);
    EXPECT_EQ(read_file(box.tmp("tovu")), "not a directory\n");
}

// ---- A final result that cannot be saved, through the stand-in recognizer ----------

const std::string hey_tovu = "{\"text\" : \"hey tovu open the browser\"}";

TEST(HandOffFailure, ResultDirectoryIsAFile) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    write_file(box.tmp("tovu"), "not a directory\n");
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(box.tmp("tovu")), "not a directory\n");
    EXPECT_EQ(box.status(), "listening\n");
}

TEST(HandOffFailure, ResultDirectoryIsNotWritable) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    run_as_user(box);
    fs::create_directories(box.tmp("tovu"));
    own(box.tmp("tovu"));
    chmod(box.tmp("tovu").c_str(), 0555);
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_FALSE(exists(box.tmp("tovu/speech.json")));
    EXPECT_EQ(box.status(), "listening\n");
}

TEST(HandOffFailure, ResultFileIsNotWritable) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    run_as_user(box);
    fs::create_directories(box.tmp("tovu"));
    own(box.tmp("tovu"));
    write_file(box.tmp("tovu/speech.json"), "{\"text\" : \"kept\"}\n", 0444);
    own(box.tmp("tovu/speech.json"));
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), "{\"text\" : \"kept\"}\n");
}

TEST(HandOffFailure, FullFileSystemLeavesNoTruncatedResult) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    // A result directory with no room left. The stop cue comes after the
    // hand-off: its player records what the directory holds by then.
    box.before_run("mkdir -p /tmp/tovu\n"
                   "mount -t tmpfs -o size=4k tmpfs /tmp/tovu\n"
                   "dd if=/dev/zero of=/tmp/tovu/filler bs=1024 count=64 2>/dev/null || true");
    const std::string listing = box.root() + "/tovu.ls";
    box.add_program("paplay", "echo \"paplay $(basename \"$1\")\" >> '" + box.root() +
                                  "/cues.log'\n"
                                  "[ \"$(basename \"$1\")\" = stop.wav ] && ls -A /tmp/tovu > '" +
                                  listing +
                                  "'\n"
                                  "exit 0\n");
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(listing), "filler\n");
}

TEST(HandOffFailure, LinkedResultFileIsNotWrittenThrough) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    const std::string target = box.root() + "/home/notes.txt";
    write_file(target, "my notes\n");
    fs::create_directories(box.tmp("tovu"));
    fs::create_symlink(target, box.tmp("tovu/speech.json"));
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(target), "my notes\n");
    EXPECT_EQ(fs::read_symlink(box.tmp("tovu/speech.json")), target);
}

TEST(HandOffFailure, LinkedResultDirectoryIsNotWrittenInto) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    const std::string target = box.root() + "/home/results";
    write_file(target + "/speech.json", "my notes\n");
    fs::create_symlink(target, box.tmp("tovu"));
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(target + "/speech.json"), "my notes\n");
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(target), fs::directory_iterator()),
              std::vector<fs::path>{target + "/speech.json"});
}

TEST(HandOffFailure, ResultDirectoryLinkedToAFileIsNotWritten) {
    Sandbox box;
    prepare_fake_run(box, hey_tovu);
    const std::string target = box.root() + "/home/notes.txt";
    write_file(target, "my notes\n");
    fs::create_symlink(target, box.tmp("tovu"));
    RunReports reports(box);
    const Result r = box.run();
    expect_not_saved(box, r, reports);
    EXPECT_EQ(read_file(target), "my notes\n");
}
