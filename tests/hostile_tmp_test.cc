// The program keeps files under fixed names in /tmp, which every user can
// write to. Whatever another user has planted there beforehand (a link to
// one of the victim's files, a hard link, a file or directory of their own),
// the victim's run must never write through it or into it, and must end
// with a clear "Error: " message. The victim is an ordinary user: the runs
// here are not root.
#include "sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;
namespace fs = std::filesystem;

namespace {

// Users without a passwd entry: the victim who runs the program and another
// user who plants things in /tmp.
constexpr uid_t victim = 1234;
constexpr uid_t other = 1235;

const std::string precious = "the victim's own data\n";
const std::string theirs = "another user's data\n";

void own(const std::string &path, uid_t uid) {
    ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path << ": " << std::strerror(errno);
}

// Something at `path` (host side) that belongs to `uid`.
void plant_file(const std::string &path, const std::string &content, uid_t uid, int mode) {
    write_file(path, content, mode);
    own(path, uid);
}

void plant_dir(const std::string &path, uid_t uid, int mode) {
    fs::create_directories(path);
    own(path, uid);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

// A FIFO that everyone may write to.
void plant_fifo(const std::string &path, uid_t uid) {
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0) << path << ": " << std::strerror(errno);
    own(path, uid);
    chmod(path.c_str(), 0666);
}

void plant_link(const std::string &path, const std::string &target, uid_t uid) {
    fs::create_symlink(target, path);
    own(path, uid);
}

struct stat lstat_of(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// A log that the victim's stubs may append to.
std::string shared_log(const Sandbox &box, const std::string &name) {
    const std::string path = box.root() + "/" + name;
    write_file(path, "", 0666);
    return path;
}

// A sandbox in which the victim can run the program: a data directory of
// theirs (for the status file and the lock), a folder of their own for the
// files that links point to, logs they can write, and a stand-in processor.
struct VictimBox {
    Sandbox box;
    std::string files;         // host folder of the victim's own files
    RunReports processor{box}; // what stand-in processors report

    explicit VictimBox(bool with_model = true) {
        if (with_model) {
            box.install_model("model", "extras/tovu/model");
        }
        box.install_cues();
        write_file(box.root() + "/cues.log", "", 0666);
        own(box.data_dir(), victim);
        files = box.root() + "/victim";
        plant_dir(files, victim, 0755);
        box.add_program("tovu-processor", "echo \"$@\" >&7\n");
        box.use_audio(fixture("speech.raw"));
        box.run_as(victim, victim);
    }

    // A file of the victim's, outside /tmp.
    std::string victim_file(const std::string &name) {
        const std::string path = files + "/" + name;
        plant_file(path, precious, victim, 0644);
        return path;
    }

    // The stand-in recognizer, with a log that the victim can write.
    void use_fake_vosk(const std::string &result = "{\"text\" : \"hey tovu open the browser\"}") {
        write_file(box.root() + "/vosk.log", "", 0666);
        write_file(box.root() + "/vosk.samples", "", 0666);
        box.use_fake_vosk({{"FAKE_VOSK_RESULT", result}});
    }
};

// The refusal of a file in the way, which says so when another user's it is.
::testing::Matcher<const std::string &> refused(const std::string &head, const std::string &tail) {
    return ::testing::AnyOf(head + tail, head +
                                             ": another user's file is in its place (their "
                                             "tovu-voice may be running)" +
                                             tail);
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// ---- The raw utterance file ---------------------------------------------------

// The capture refuses to start: its own message, then the failed capture.
void expect_raw_refused(VictimBox &v, const Result &r) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_THAT(r.err, refused("Error: Could not create /tmp/stt_audio.raw",
                               "\n\nError during recording\n"));
    EXPECT_FALSE(has(r.out, "Listening"));
    EXPECT_EQ(v.box.status(), "ready\n");
    EXPECT_EQ(v.box.cues_played(),
              (std::vector<std::string>{"paplay start.wav", "paplay error.wav"}));
    EXPECT_FALSE(exists(v.box.tmp("tovu")));
    EXPECT_EQ(v.processor.wait_all_ended(), "");
}

TEST(HostileTmp, RawFileLinkToTheVictimsFile) {
    VictimBox v;
    v.use_fake_vosk();
    const std::string target = v.victim_file("notes");
    // Links owned by the victim and by root are followed whatever the
    // kernel's link protection says, so only the program can refuse them.
    for (uid_t owner : {victim, uid_t{0}, other}) {
        SCOPED_TRACE(owner);
        plant_link(v.box.tmp("stt_audio.raw"), target, owner);
        const Result r = v.box.run();
        expect_raw_refused(v, r);
        EXPECT_EQ(read_file(target), precious);
        EXPECT_EQ(fs::read_symlink(v.box.tmp("stt_audio.raw")), target);
        fs::remove(v.box.tmp("stt_audio.raw"));
        write_file(v.box.root() + "/cues.log", "", 0666);
    }
}

TEST(HostileTmp, RawFileLinkToAMissingFile) {
    VictimBox v;
    v.use_fake_vosk();
    const std::string target = v.files + "/created-through-the-link";
    plant_link(v.box.tmp("stt_audio.raw"), target, victim);
    const Result r = v.box.run();
    expect_raw_refused(v, r);
    EXPECT_FALSE(exists(target));
}

TEST(HostileTmp, RawFileHardLinkToTheVictimsFile) {
    VictimBox v;
    v.use_fake_vosk();
    // Same file system as /tmp, so that the link can be made.
    const std::string target = v.box.tmp("victim-notes");
    plant_file(target, precious, victim, 0644);
    fs::create_hard_link(target, v.box.tmp("stt_audio.raw"));
    const Result r = v.box.run();
    expect_raw_refused(v, r);
    EXPECT_EQ(read_file(target), precious);
    EXPECT_EQ(lstat_of(target).st_nlink, 2u); // neither name was removed
}

// Run by the victim and by root: the sticky /tmp would stop the victim from
// deleting it anyway, but not root, for whom only the program's own check
// keeps it intact.
TEST(HostileTmp, RawFileOfAnotherUser) {
    for (uid_t runner : {victim, uid_t{0}}) {
        SCOPED_TRACE(runner);
        VictimBox v;
        v.use_fake_vosk();
        v.box.run_as(runner, runner);
        plant_file(v.box.tmp("stt_audio.raw"), theirs, other, 0666);
        const Result r = v.box.run();
        expect_raw_refused(v, r);
        EXPECT_EQ(read_file(v.box.tmp("stt_audio.raw")), theirs);
        EXPECT_EQ(lstat_of(v.box.tmp("stt_audio.raw")).st_uid, other);
    }
}

TEST(HostileTmp, RawFileIsADirectoryOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    plant_dir(v.box.tmp("stt_audio.raw"), other, 0777);
    const Result r = v.box.run();
    expect_raw_refused(v, r);
    EXPECT_TRUE(fs::is_empty(v.box.tmp("stt_audio.raw")));
}

// A leftover of the victim's own (an earlier run that was killed) is
// replaced: its stale content never reaches the recognizer.
TEST(HostileTmp, LeftoverRawFileOfTheVictimIsReplaced) {
    for (int mode : {0600, 0400}) {
        SCOPED_TRACE(mode);
        VictimBox v;
        // Loud noise: recognised as something, were it read.
        std::string noise(200000, '\0');
        for (size_t i = 0; i < noise.size(); ++i) {
            noise[i] = static_cast<char>((i * 7919) % 251);
        }
        plant_file(v.box.tmp("stt_audio.raw"), noise, victim, mode);
        const Result r = v.box.run();
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n")) << r.out;
        EXPECT_EQ(read_file(v.box.tmp("tovu/speech.json")),
                  "{\n  \"text\" : \"open the browser\"\n}\n");
        EXPECT_EQ(lstat_of(v.box.tmp("tovu/speech.json")).st_uid, victim);
        EXPECT_FALSE(exists(v.box.tmp("stt_audio.raw")));
        EXPECT_EQ(v.processor.wait_all_ended(), "/tmp/tovu/speech.json\n");
        EXPECT_EQ(v.box.status(), "listening\n");
    }
}

// The leftover is not merely truncated: the recognizer gets exactly the
// captured samples.
TEST(HostileTmp, LeftoverRawFileIsNotAppendedTo) {
    std::string samples[2];
    for (int leftover = 0; leftover < 2; ++leftover) {
        VictimBox v;
        v.use_fake_vosk();
        if (leftover == 1) {
            plant_file(v.box.tmp("stt_audio.raw"), std::string(300000, '\x7f'), victim, 0644);
        }
        const Result r = v.box.run();
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        samples[leftover] = v.box.fake_vosk_samples();
    }
    EXPECT_GT(samples[0].size(), 32000u);
    EXPECT_TRUE(samples[0] == samples[1]) << samples[0].size() << " vs " << samples[1].size();
}

// ---- The record-only WAV file -------------------------------------------------

struct RecordOnlyVictim : VictimBox {
    std::string recorder; // log of recorder starts
    RecordOnlyVictim() : VictimBox(false) {
        recorder = shared_log(box, "arecord.log");
        // Writes a recording to its last argument, as arecord does.
        box.add_program("arecord", "echo \"$@\" >> " + quote(recorder) +
                                       "\nfor last; do :; done\n"
                                       "head -c 1044 /dev/zero > \"$last\"\n");
    }
};

void expect_wav_refused(const RecordOnlyVictim &v, const Result &r) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_THAT(r.err, refused("\nError: Could not create /tmp/stt_audio.wav", "\n"));
    EXPECT_TRUE(has(r.out, "Recording audio... Error\n")) << r.out;
    EXPECT_EQ(read_file(v.recorder), ""); // never started
    EXPECT_EQ(v.box.status(), "ready\n");
}

TEST(HostileTmp, WavFileLinkToTheVictimsFile) {
    RecordOnlyVictim v;
    const std::string target = v.victim_file("song.wav");
    plant_link(v.box.tmp("stt_audio.wav"), target, victim);
    const Result r = v.box.run();
    expect_wav_refused(v, r);
    EXPECT_EQ(read_file(target), precious);
    EXPECT_EQ(fs::read_symlink(v.box.tmp("stt_audio.wav")), target);
}

// As the raw file: refused by the victim and by root alike.
TEST(HostileTmp, WavFileOfAnotherUser) {
    for (uid_t runner : {victim, uid_t{0}}) {
        SCOPED_TRACE(runner);
        RecordOnlyVictim v;
        v.box.run_as(runner, runner);
        plant_file(v.box.tmp("stt_audio.wav"), theirs, other, 0666);
        const Result r = v.box.run();
        expect_wav_refused(v, r);
        EXPECT_EQ(read_file(v.box.tmp("stt_audio.wav")), theirs);
        EXPECT_EQ(lstat_of(v.box.tmp("stt_audio.wav")).st_uid, other);
    }
}

TEST(HostileTmp, LeftoverWavFileOfTheVictimIsReplaced) {
    RecordOnlyVictim v;
    plant_file(v.box.tmp("stt_audio.wav"), std::string(5000, 'x'), victim, 0600);
    const Result r = v.box.run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recording audio... OK (1044 bytes)\n")) << r.out;
    EXPECT_FALSE(exists(v.box.tmp("stt_audio.wav")));
    EXPECT_EQ(v.box.status(), "ready\n");
}

// ---- The result directory and file ------------------------------------------

// The transcript is not handed to anyone: the message, the error cue, no
// processor, and the run ends with the stop cue but with status 1.
void expect_result_refused(VictimBox &v, const Result &r) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "Error: Could not write to /tmp/tovu/speech.json\n");
    EXPECT_TRUE(has(r.out, "Recunoscut: {\"text\" : \"open the browser\"}\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Result saved"));
    EXPECT_EQ(v.box.cues_played(), (std::vector<std::string>{"paplay start.wav", "paplay error.wav",
                                                             "paplay stop.wav"}));
    EXPECT_EQ(v.processor.wait_all_ended(), "");
    EXPECT_FALSE(exists(v.box.tmp("stt_audio.raw")));
}

TEST(HostileTmp, ResultDirectoryLinkToTheVictimsDirectory) {
    VictimBox v;
    v.use_fake_vosk();
    const std::string target = v.files + "/documents";
    plant_dir(target, victim, 0755);
    const std::string existing = target + "/speech.json";
    for (bool with_file : {false, true}) {
        SCOPED_TRACE(with_file);
        if (with_file) {
            plant_file(existing, precious, victim, 0644);
        }
        plant_link(v.box.tmp("tovu"), target, victim);
        const Result r = v.box.run();
        expect_result_refused(v, r);
        if (with_file) {
            EXPECT_EQ(read_file(existing), precious);
        } else {
            EXPECT_TRUE(fs::is_empty(target));
        }
        fs::remove(v.box.tmp("tovu"));
        write_file(v.box.root() + "/cues.log", "", 0666);
    }
}

TEST(HostileTmp, ResultDirectoryOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    // Open to everyone, sticky or not: the transcript must not land there.
    for (int mode : {0777, 01777}) {
        SCOPED_TRACE(mode);
        plant_dir(v.box.tmp("tovu"), other, mode);
        const Result r = v.box.run();
        expect_result_refused(v, r);
        EXPECT_TRUE(fs::is_empty(v.box.tmp("tovu")));
        fs::remove(v.box.tmp("tovu"));
        write_file(v.box.root() + "/cues.log", "", 0666);
    }
}

TEST(HostileTmp, ResultDirectoryIsAFileOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    plant_file(v.box.tmp("tovu"), theirs, other, 0666);
    const Result r = v.box.run();
    // "mkdir -p" has its own complaint on stderr; ours comes last.
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_TRUE(r.err.ends_with("Error: Could not write to /tmp/tovu/speech.json\n")) << r.err;
    EXPECT_EQ(read_file(v.box.tmp("tovu")), theirs);
    EXPECT_EQ(v.processor.wait_all_ended(), "");
}

// The result directory is the victim's own, but what is inside is not.
TEST(HostileTmp, ResultFileLinkToTheVictimsFile) {
    VictimBox v;
    v.use_fake_vosk();
    const std::string target = v.victim_file("diary");
    plant_dir(v.box.tmp("tovu"), victim, 0755);
    plant_link(v.box.tmp("tovu/speech.json"), target, victim);
    const Result r = v.box.run();
    expect_result_refused(v, r);
    EXPECT_EQ(read_file(target), precious);
}

TEST(HostileTmp, ResultFileHardLinkToTheVictimsFile) {
    VictimBox v;
    v.use_fake_vosk();
    plant_dir(v.box.tmp("tovu"), victim, 0755);
    const std::string target = v.box.tmp("victim-diary");
    plant_file(target, precious, victim, 0644);
    fs::create_hard_link(target, v.box.tmp("tovu/speech.json"));
    const Result r = v.box.run();
    expect_result_refused(v, r);
    EXPECT_EQ(read_file(target), precious);
}

TEST(HostileTmp, ResultFileOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    // The victim's directory was left open to everyone (a careless umask).
    plant_dir(v.box.tmp("tovu"), victim, 0777);
    plant_file(v.box.tmp("tovu/speech.json"), theirs, other, 0666);
    const Result r = v.box.run();
    expect_result_refused(v, r);
    EXPECT_EQ(read_file(v.box.tmp("tovu/speech.json")), theirs);
    EXPECT_EQ(lstat_of(v.box.tmp("tovu/speech.json")).st_uid, other);
}

// Nobody ever reads the FIFO: opening it for writing must not wait for a
// reader.
TEST(HostileTmp, ResultFileIsAFifoOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    plant_dir(v.box.tmp("tovu"), victim, 0777);
    plant_fifo(v.box.tmp("tovu/speech.json"), other);
    const Result r = v.box.run(std::chrono::seconds(20));
    expect_result_refused(v, r);
    EXPECT_TRUE(S_ISFIFO(lstat_of(v.box.tmp("tovu/speech.json")).st_mode));
}

TEST(HostileTmp, RawAndWavFilesAreFifos) {
    {
        VictimBox v;
        v.use_fake_vosk();
        plant_fifo(v.box.tmp("stt_audio.raw"), other);
        const Result r = v.box.run(std::chrono::seconds(20));
        expect_raw_refused(v, r);
    }
    {
        RecordOnlyVictim v;
        plant_fifo(v.box.tmp("stt_audio.wav"), other);
        const Result r = v.box.run(std::chrono::seconds(20));
        expect_wav_refused(v, r);
    }
}

TEST(HostileTmp, ResultFileIsADirectoryOfAnotherUser) {
    VictimBox v;
    v.use_fake_vosk();
    plant_dir(v.box.tmp("tovu"), victim, 0777);
    plant_dir(v.box.tmp("tovu/speech.json"), other, 0777);
    const Result r = v.box.run();
    expect_result_refused(v, r);
    EXPECT_TRUE(fs::is_empty(v.box.tmp("tovu/speech.json")));
}

// An earlier result of the victim's own is simply replaced.
// A leftover that others could read is made private too.
TEST(HostileTmp, LeftoverResultOfTheVictimIsReplaced) {
    VictimBox v;
    v.use_fake_vosk();
    plant_dir(v.box.tmp("tovu"), victim, 0755);
    plant_file(v.box.tmp("tovu/speech.json"), std::string(10000, 'x'), victim, 0644);
    const Result r = v.box.run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(v.box.tmp("tovu/speech.json")), "{\"text\" : \"open the browser\"}\n");
    EXPECT_EQ(lstat_of(v.box.tmp("tovu/speech.json")).st_mode & 07777, 0600u);
    EXPECT_EQ(v.processor.wait_all_ended(), "/tmp/tovu/speech.json\n");
}

// ---- The status file --------------------------------------------------------------

// A data directory left open to everyone: whatever another user put at the
// status path, the victim's run goes on as usual and writes nothing through
// it.
TEST(HostileTmp, StatusPathPlantedByAnotherUser) {
    struct Case {
        const char *what;
        void (*plant)(const std::string &status, const std::string &target);
    };
    const Case cases[] = {
        {"link to the victim's file",
         [](const std::string &status, const std::string &target) {
             plant_link(status, target, other);
         }},
        {"link to a missing file of the victim's",
         [](const std::string &status, const std::string &target) {
             plant_link(status, target + ".new", other);
         }},
        {"hard link to the victim's file",
         [](const std::string &status, const std::string &target) {
             fs::create_hard_link(target, status);
         }},
        {"FIFO", [](const std::string &status, const std::string &) { plant_fifo(status, other); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VictimBox v;
        v.use_fake_vosk();
        chmod(v.box.data_dir().c_str(), 0777);
        // On the data directory's file system, so that a hard link can be made.
        const std::string target = v.box.data_dir("victim-notes");
        plant_file(target, precious, victim, 0644);
        const std::string status = v.box.data_dir("status");
        c.plant(status, target);
        const struct stat planted = lstat_of(status);
        // Nor into the victim's runtime folder, left open to everyone too.
        plant_dir(v.box.tmp("run"), victim, 0777);
        v.box.set_env("XDG_RUNTIME_DIR", "/tmp/run");

        const Result r = v.box.run(std::chrono::seconds(20));
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "Recunoscut: {\"text\" : \"open the browser\"}\n")) << r.out;
        EXPECT_EQ(read_file(target), precious);
        EXPECT_FALSE(exists(target + ".new"));
        const struct stat after = lstat_of(status);
        EXPECT_EQ(after.st_ino, planted.st_ino);
        EXPECT_EQ(after.st_mode, planted.st_mode);
        EXPECT_FALSE(exists(v.box.tmp("run/tovu-status")));
        EXPECT_EQ(v.processor.wait_all_ended(), "/tmp/tovu/speech.json\n");
    }
}

// As earlier versions set it up: a directory of root's, and in it a status file
// of root's that every local user may write. The victim's runs rewrite that
// very file and leave it root's.
TEST(HostileTmp, StatusFileOfRootWritableByAll) {
    VictimBox v;
    v.use_fake_vosk("{\"text\" : \"hey tovu\"}");
    own(v.box.data_dir(), 0);
    chmod(v.box.data_dir().c_str(), 0755);
    const std::string status = v.box.data_dir("status");
    plant_file(status, "something much longer than a word\n", 0, 0666);
    const ino_t inode = lstat_of(status).st_ino;

    // Only the wake phrase: the run ends with "ready", all that the file then
    // holds.
    const Result r = v.box.run();
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "(empty text detected)")) << r.out;
    EXPECT_EQ(v.box.status(), "ready\n");
    EXPECT_EQ(lstat_of(status).st_ino, inode);
    EXPECT_EQ(lstat_of(status).st_uid, 0u);
    EXPECT_EQ(lstat_of(status).st_mode & 07777, 0666u);
}

// ---- The victim's own set-up ----------------------------------------------------

// Nothing planted: an ordinary user gets a private raw file, a result
// directory and file of their own.
TEST(HostileTmp, OrdinaryUserRunLeavesOnlyTheirOwnFiles) {
    VictimBox v;
    const Result r = v.box.run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(v.box.tmp("tovu/speech.json")),
              "{\n  \"text\" : \"open the browser\"\n}\n");
    EXPECT_EQ(lstat_of(v.box.tmp("tovu")).st_uid, victim);
    EXPECT_EQ(lstat_of(v.box.tmp("tovu/speech.json")).st_uid, victim);
    // What was said stays private: the recordings and the transcript alike.
    EXPECT_EQ(lstat_of(v.box.tmp("tovu/speech.json")).st_mode & 07777, 0600u);
    EXPECT_EQ(lstat_of(v.box.data_dir("status")).st_uid, victim);
    EXPECT_FALSE(exists(v.box.tmp("stt_audio.raw")));
    EXPECT_EQ(v.box.status(), "listening\n");
}

} // namespace
