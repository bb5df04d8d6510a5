// A second start while a run goes on (the hotkey pressed again) ends the
// first run's recording, or cancels a run that has heard nobody yet, and
// says which in one line. Nobody else can hold a user's lock. Both runs here
// are real processes in the same mount namespace, so they see the same /tmp
// and the same data directory.
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

const std::string cancelled =
    banner + "Cancelled the tovu-voice that was running: it had heard nobody yet\n";
const std::string cancel_note = "\nCancelled: tovu-voice was started again\n";
const std::string transcript = "{\n  \"text\" : \"open the browser\"\n}\n";

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
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
        return "echo " + what + " > " + quote(announce_.path());
    }
    std::string wait() const { return "read go < " + quote(wait_.path()); }
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

// The first run, fed its utterance, ends as if it had been alone.
void expect_correct_result(Sandbox &box, Process &first) {
    feed_utterance(box);
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recunoscut: " + transcript)) << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), transcript);
    EXPECT_EQ(box.status(), "listening\n");
}

// The second start ends at once with its one line, having played no cue.
void expect_second_start(const Result &r, const std::string &out) {
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
}

// The first run, cancelled, ends as on Ctrl-C: nothing handed on, no audio
// left, the status "ready".
void expect_cancelled(Sandbox &box, Process &first, bool fresh_machine = false) {
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, cancel_note)) << r.out;
    EXPECT_FALSE(has(r.out, "Recunoscut")) << r.out;
    EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    EXPECT_FALSE(exists(box.tmp("tovu")));
    EXPECT_EQ(box.status(), "ready\n");
    const std::vector<std::string> cue = {"paplay start.wav"};
    EXPECT_EQ(box.cues_played(), fresh_machine ? std::vector<std::string>() : cue);
}

// Nobody has spoken yet: the second start cancels the first. On a fresh
// machine there is no data directory; the lock does not need one.
void second_run_while_the_first_listens(bool fresh_machine) {
    Sandbox box;
    set_up_listening(box, fresh_machine);
    Process first = box.start();
    box.feed(std::string(4096, '\0'));
    ASSERT_TRUE(first.wait_for_output("Listening... "));
    ASSERT_TRUE(box.wait_until_fed());

    Process second = box.start_beside(first.pid());
    expect_second_start(second.finish(), cancelled);
    expect_cancelled(box, first, fresh_machine);
}

TEST(SecondStart, WhileTheFirstListensCancelsIt) {
    second_run_while_the_first_listens(false);
}

TEST(SecondStart, OnAFreshMachineWhileTheFirstListensCancelsIt) {
    second_run_while_the_first_listens(true);
}

// Started at the same moment: whichever takes the lock first is cancelled
// by the other, whatever the order, and nothing is handed on.
TEST(SecondStart, HotkeyPressedTwiceAtOnceCancels) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Sandbox box;
        set_up_listening(box);
        Process a = box.start();
        Process b = box.start_beside(a.pid());
        const Result ra = a.finish();
        const Result rb = b.finish();
        const bool a_second = has(ra.out, cancelled);
        EXPECT_NE(a_second, has(rb.out, cancelled)) << ra.out << rb.out;
        EXPECT_TRUE(has((a_second ? rb : ra).out, cancel_note)) << ra.out << rb.out;
        EXPECT_EQ(ra.exit_status, 0);
        EXPECT_EQ(rb.exit_status, 0);
        EXPECT_FALSE(exists(box.tmp("tovu")));
        EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
    }
}

// As an ordinary user whose data directory belongs to root: the status
// cannot be written, but the lock is still taken.
TEST(SecondStart, LockHoldsForAnOrdinaryUserWithoutWriteAccess) {
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
    expect_second_start(second.finish(), cancelled);
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, cancel_note)) << r.out;
    EXPECT_FALSE(has(r.err, "mkdir")) << r.err; // nothing tried that it may not do
    EXPECT_EQ(box.status(), "");
}

// Another user holds a lock on the data directory, and on a file of theirs
// where root's lock would go in /tmp: root's run listens as usual.
TEST(SecondStart, NobodyElseCanHoldTheLock) {
    Sandbox box;
    set_up_listening(box);
    const std::string planted = box.tmp("tovu-voice-0.lock");
    write_file(planted, "");
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    Fifo release(box.root() + "/release");
    Process holder =
        box.start_other({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "flock",
                         "-x", "/usr/share/extras/tovu", "flock", "-x", "/tmp/tovu-voice-0.lock",
                         "sh", "-c", "echo held; read x < " + quote(release.path())});
    ASSERT_TRUE(holder.wait_for_output("held\n"));
    Process first = box.start_beside(holder.pid());
    box.feed(std::string(4096, '\0'));
    EXPECT_TRUE(first.wait_for_output("Listening... "));
    expect_correct_result(box, first);
    ASSERT_TRUE(release.write_line("go"));
    EXPECT_EQ(holder.finish().exit_status, 0);
}

// In record-only mode the second start stops the recording.
void second_run_while_the_first_records(bool fresh_machine) {
    Sandbox box;
    if (fresh_machine) {
        box.remove_data_dir();
    }
    Gate gate(box.root() + "/gate");
    // Says that it runs, then waits for the gate as arecord would record.
    box.add_program("arecord", gate.announce("recording") + "\n" + gate.wait() + "\n");
    Process first = box.start();
    ASSERT_EQ(gate.next_line(), "recording");

    Process second = box.start_beside(first.pid());
    expect_second_start(second.finish(),
                        banner + "Stopped the recording of the tovu-voice that was running\n");
    const Result r = first.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Recording audio... " + cancel_note + "Program stopped.\n")) << r.out;
    EXPECT_FALSE(exists(box.tmp("stt_audio.wav")));
    EXPECT_EQ(box.status(), "ready\n");
}

TEST(SecondStart, WhileTheFirstRecordsWithoutAModelStopsTheRecording) {
    second_run_while_the_first_records(false);
}

TEST(SecondStart, OnAFreshMachineWhileTheFirstRecordsWithoutAModelStopsTheRecording) {
    second_run_while_the_first_records(true);
}

// The lock ends with the run: the processor it leaves running in the
// background does not hold it, so the next utterance is not refused.
TEST(SecondStart, ProcessorLeftRunningDoesNotHoldTheLock) {
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
    EXPECT_FALSE(has(r.out, "was running")) << r.out;
    EXPECT_TRUE(has(r.out, "Recunoscut: " + transcript)) << r.out;
    gate.release();
    EXPECT_FALSE(gate.next_line().empty()); // the second run's processor
    gate.release();
}

} // namespace
