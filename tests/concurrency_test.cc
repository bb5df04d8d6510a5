// Two runs at once (the hotkey pressed twice) would share the raw audio
// file, the result file and the status file. The second run must be turned
// away before it touches any of them, and the first must go on to a correct
// result. Both runs here are real processes in the same mount namespace,
// so they see the same /tmp and the same data directory.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sandbox;

namespace {

const std::string turned_away = "Error: Another tovu-voice is already running\n";
const std::string transcript = "{\n  \"text\" : \"open the browser\"\n}\n";

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

ino_t inode_of(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The words of speech.raw and two seconds of quiet after them: enough for
// the capture to end on its own, little enough to fit in the FIFO when the
// program stops reading.
void feed_utterance(Sandbox &box) {
    const std::string speech = read_file(fixture("speech.raw"));
    const size_t trailing_silence = 12 * 32000;
    ASSERT_GT(speech.size(), trailing_silence);
    box.feed(speech.substr(0, speech.size() - trailing_silence));
    box.feed(std::string(64000, '\0'));
}

// Two FIFOs the test holds open at both ends: a stub announces itself with
// a line on one (`echo ... > announce`) and then waits for a line on the
// other (`read go < wait`) until release() writes one; if the test dies, the
// stub sees the end of the FIFO and goes on.
class Gate {
  public:
    explicit Gate(const std::string &path) : announce_(path + ".announce"), wait_(path + ".wait") {}
    // Shell commands for a stub.
    std::string announce(const std::string &what) const {
        return "echo " + what + " > " + announce_.path();
    }
    std::string wait() const { return "read go < " + wait_.path(); }
    void release() { ASSERT_TRUE(wait_.write_line("go")); }
    // The next line a stub announced; "" on timeout.
    std::string next_line() { return announce_.read_line(); }

  private:
    Fifo announce_;
    Fifo wait_;
};

// A recognition run set up to wait for its audio on a FIFO. On a fresh
// machine the model is in a place of its own and there are no cues.
void set_up_listening(Sandbox &box, bool fresh_machine = false) {
    if (fresh_machine) {
        box.remove_data_dir();
        box.install_model("model", "vosk-model-small-en-us-0.15");
    } else {
        box.install_model("model", "extras/tovu/model");
        box.install_cues();
    }
    box.use_audio_fifo();
}

// The second run ends at once with its message, having printed only the
// banner and played no cue.
void expect_turned_away(const Result &r) {
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, turned_away);
}

// The first run, fed its utterance, ends as if it had been alone.
void expect_correct_result(Sandbox &box, Process &first, bool fresh_machine = false) {
    feed_utterance(box);
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recunoscut: " + transcript)) << r.out;
    EXPECT_TRUE(has(r.out, "Result saved in /tmp/tovu/speech.json\n")) << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), transcript);
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_EQ(box.status(), "listening\n");
    const std::vector<std::string> cues = {"paplay start.wav", "paplay stop.wav"};
    EXPECT_EQ(box.cues_played(), fresh_machine ? std::vector<std::string>() : cues);
}

// On a fresh machine there is no data directory yet: the first run makes
// it, and with it the lock that turns the second away.
void second_run_while_the_first_listens(bool fresh_machine) {
    Sandbox box;
    set_up_listening(box, fresh_machine);
    Process first = box.start();
    box.feed(std::string(4096, '\0'));
    ASSERT_TRUE(first.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());
    const ino_t raw = inode_of(box.tmp("stt_audio.raw"));
    ASSERT_NE(raw, 0u);
    const std::string status = box.status();
    ASSERT_EQ(status, "listening\n");

    Process second = box.start_beside(first.pid());
    expect_turned_away(second.finish());

    // Nothing of the first run's was touched.
    EXPECT_EQ(inode_of(box.tmp("stt_audio.raw")), raw);
    EXPECT_EQ(box.status(), status);
    EXPECT_FALSE(exists(box.tmp("tovu")));
    const std::vector<std::string> cue = {"paplay start.wav"};
    EXPECT_EQ(box.cues_played(), fresh_machine ? std::vector<std::string>() : cue);

    expect_correct_result(box, first, fresh_machine);
}

TEST(Concurrency, SecondRunWhileTheFirstListensIsTurnedAway) {
    second_run_while_the_first_listens(false);
}

TEST(Concurrency, OnAFreshMachineTheFirstRunThatListensLocksOutTheSecond) {
    second_run_while_the_first_listens(true);
}

// Started at the same moment: whichever takes the lock first runs, the
// other is turned away, whatever the order.
TEST(Concurrency, HotkeyPressedTwiceRunsOnce) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Sandbox box;
        set_up_listening(box);
        Process a = box.start();
        Process b = box.start_beside(a.pid());
        // The loser ends without listening; its output then closes.
        const bool a_listens = a.wait_for_output("Listening... ");
        Process &winner = a_listens ? a : b;
        Process &loser = a_listens ? b : a;
        if (!a_listens) {
            ASSERT_TRUE(b.wait_for_output("Listening... "));
        }
        expect_turned_away(loser.finish());
        expect_correct_result(box, winner);
    }
}

// Set up for an ordinary user whose data directory belongs to root: the
// status cannot be written, but the lock is still taken.
TEST(Concurrency, LockHoldsForAnOrdinaryUserWithoutWriteAccess) {
    Sandbox box;
    set_up_listening(box);
    write_file(box.root() + "/cues.log", "", 0666);
    chmod((box.root() + "/audio.fifo").c_str(), 0666);
    box.run_as(1234, 1234);
    Process first = box.start();
    box.feed(std::string(4096, '\0'));
    ASSERT_TRUE(first.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());

    Process second = box.start_beside(first.pid());
    expect_turned_away(second.finish());

    feed_utterance(box);
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recunoscut: " + transcript)) << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), transcript);
    EXPECT_EQ(box.status(), "");
}

// In record-only mode too: the recorder of the first run is left alone.
void second_run_while_the_first_records(bool fresh_machine) {
    Sandbox box;
    if (fresh_machine) {
        box.remove_data_dir();
    }
    Gate gate(box.root() + "/gate");
    // Says that it runs, waits for the gate, then writes a recording to its
    // last argument as arecord does.
    box.add_program("arecord", "for last; do :; done\n" + gate.announce("recording") + "\n" +
                                   gate.wait() + "\nhead -c 2044 /dev/zero > \"$last\"\n");
    Process first = box.start();
    ASSERT_EQ(gate.next_line(), "recording");
    const ino_t wav = inode_of(box.tmp("stt_audio.wav"));
    ASSERT_NE(wav, 0u);

    Process second = box.start_beside(first.pid());
    expect_turned_away(second.finish());
    EXPECT_EQ(inode_of(box.tmp("stt_audio.wav")), wav);
    EXPECT_EQ(box.status(), "");

    gate.release();
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recording audio... OK (2044 bytes)\n")) << r.out;
    EXPECT_FALSE(exists(box.tmp("stt_audio.wav")));
    EXPECT_EQ(box.status(), "ready\n");
}

TEST(Concurrency, SecondRunWhileTheFirstRecordsIsTurnedAway) {
    second_run_while_the_first_records(false);
}

TEST(Concurrency, OnAFreshMachineTheFirstRunThatRecordsLocksOutTheSecond) {
    second_run_while_the_first_records(true);
}

// The lock ends with the run: the processor it leaves running in the
// background does not hold it, so the next utterance is not refused.
TEST(Concurrency, ProcessorLeftRunningDoesNotHoldTheLock) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    Gate gate(box.root() + "/gate");
    box.add_program("tovu-processor", gate.announce("$$") + "\n" + gate.wait() + "\n");
    const Result first = box.run();
    EXPECT_EQ(first.exit_status, 0) << first.out << first.err;
    const std::string processor = gate.next_line();
    ASSERT_FALSE(processor.empty());

    // The processor is still there, and with it the namespace.
    Process second = box.start_beside(static_cast<pid_t>(std::stoi(processor)));
    const Result r = second.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_FALSE(has(r.err, turned_away));
    EXPECT_TRUE(has(r.out, "Recunoscut: " + transcript)) << r.out;
    gate.release();
    EXPECT_FALSE(gate.next_line().empty()); // the second run's processor
    gate.release();
}

} // namespace
