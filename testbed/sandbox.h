// Runs the real tovu-voice binary hermetically: in a private mount namespace
// whose /tmp is the sandbox's own folder, whose /usr/share is an overlay with
// the sandbox's folder as upper layer and whose data directory
// /usr/share/extras/tovu is the sandbox's alone, without the ALSA
// configuration that the machine's packages add, with a HOME whose .asoundrc
// makes ALSA's default capture device read a raw file (or a FIFO), and with
// stub programs on PATH.
//
// No test framework here: what goes wrong around a run is reported to the
// harness of the program that uses it (set_harness).
#pragma once

#include "child.h"
#include "files.h"
#include "sound_server.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// What the sandbox needs to know from the program that uses it: where a
// failure around a run goes (a run that does not end in time, audio that
// cannot be fed, a pipe that cannot be made), the name of the check under
// way (each sandbox's folder is named after it) and whether that check has
// passed so far (a failed check's folder is kept to look at). The test
// programs' main (tests/harness.cc) hands these to the test framework.
// Without a harness a failure is printed on standard error, the folders are
// named "run", and a check has passed while nothing has failed.
struct Harness {
    void (*fail)(const std::string &what) = nullptr;
    std::string (*check_name)() = nullptr;
    bool (*check_passed)() = nullptr;
};
void set_harness(const Harness &harness);
// Reports `what` as a failure of the check under way.
void fail(const std::string &what);

// Folder of the generated models and audio (TOVU_FIXTURES).
std::string fixtures();
std::string fixture(const std::string &name);

// Raw capture audio: `count` chunks of 512 samples of the constant `level`
// (above 500 is speech, above 250 is kept before speech, below is quiet).
std::string chunks(int16_t level, int count);

// Number of times `text` occurs in `in`.
size_t count_of(const std::string &in, const std::string &text);

// What every run prints first, and what a run with the model in the data
// directory prints up to listening.
inline const std::string banner = "Speech-to-Text in real time with Vosk API (without Python)\n"
                                  "======================================================\n";
inline const std::string set_up =
    banner + "Model found: /usr/share/extras/tovu/model\nInitializing Vosk...\n";
inline const std::string initialized = set_up + "Vosk initialized!\n\n";

// The processor runs in the background and may outlive the program, so
// neither the program's exit nor a log file read right after it says whether
// the processor ran. Instead every process of the run inherits descriptor 7,
// the write end of a FIFO whose read end the test holds: the sandbox's shell
// opens it before it becomes the program, the program passes it on to each
// shell that system() starts, and those to the processor they put in the
// background. The stub processors write their report to descriptor 7, and
// the FIFO reaches its end only once the last of these processes has exited.
// Reading it to the end therefore gives everything every processor wrote,
// and an empty read proves that no processor ran at all, with no sleeping.
class Sandbox;

class RunReports {
  public:
    explicit RunReports(Sandbox &box);
    ~RunReports();
    RunReports(const RunReports &) = delete;
    RunReports &operator=(const RunReports &) = delete;

    // Call after the program has ended: waits until every process it started
    // has ended too and returns what they reported.
    std::string wait_all_ended(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
    std::string path_;
    int fd_ = -1;
};

// A named pipe between the test and a stub. The test holds it open for
// reading and writing, so the stub never blocks opening it.
class Fifo {
  public:
    explicit Fifo(std::string path);
    ~Fifo();
    Fifo(const Fifo &) = delete;
    Fifo &operator=(const Fifo &) = delete;

    const std::string &path() const { return path_; }

    // The next line written to the pipe, without its newline; "" when none
    // comes within `timeout`.
    std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // False when the line could not be written whole.
    bool write_line(const std::string &line);

  private:
    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

struct Result {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    long max_rss_kb = 0; // peak resident memory of the run (the program's)
    double cpu_s = 0;    // user + system time of the run
    std::string out;
    std::string err;
};

class Sandbox;

// A started run: its output can be watched while it goes on.
class Process {
  public:
    Process(Process &&) noexcept;
    ~Process();
    pid_t pid() const { return pid_; }
    // Waits (at most `timeout`) until stdout contains `text`; false on
    // timeout or when the program ended first.
    bool wait_for_output(const std::string &text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void interrupt(); // SIGINT
    // Stops reading the program's standard output, as a pipeline's reader
    // that has gone: its next write there finds no reader.
    void close_stdout();
    Result finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  private:
    friend class Sandbox;
    explicit Process(Child child);
    pid_t pid_;
    ChildOutput output_;
};

class Sandbox {
  public:
    // A fresh folder under the build tree, named after the current test.
    Sandbox();
    ~Sandbox();

    const std::string &root() const { return root_; }
    // Host paths of what the program sees as /tmp and /usr/share.
    std::string tmp(const std::string &rel = "") const;
    std::string share(const std::string &rel = "") const;
    // The shared data directory, host side.
    std::string data_dir(const std::string &rel = "") const;

    // Default capture device reads this raw S16_LE 16 kHz mono file.
    void use_audio(const std::string &raw_file);
    // Default capture device reads a FIFO that the test writes (feed()).
    void use_audio_fifo();
    void feed(const std::string &raw_bytes);
    void feed_file(const std::string &raw_file, size_t offset, size_t bytes);
    // Waits until the program has read everything fed so far; false on
    // timeout.
    bool wait_until_fed(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void close_feed();
    // Default capture device does not exist.
    void use_no_device();
    // Any .asoundrc text.
    void use_asoundrc(const std::string &text);
    // ALSA's default devices routed to `server`, as on a desktop.
    void use_sound_server(const sound::Server &server);

    // The run sees a fresh machine: no data directory and no
    // /usr/share/extras, until the program makes them.
    void remove_data_dir();
    // Copies a generated model to /usr/share/<rel> inside the sandbox.
    void install_model(const std::string &model_name, const std::string &share_rel);
    // Installs the three cue files; the stub players log what they play.
    void install_cues();
    // Lines logged by the stub players ("paplay start.wav", ...).
    std::vector<std::string> cues_played() const;

    // Replaces libvosk with the stand-in library, configured by FAKE_VOSK_*
    // variables (see fake_vosk.cc). Its call log is fake_vosk_calls().
    void use_fake_vosk(const std::map<std::string, std::string> &behaviour = {});
    std::vector<std::string> fake_vosk_calls() const;
    std::string fake_vosk_samples() const; // bytes handed to the recognizer

    // Puts a capture device that fails on demand in front of ALSA (see
    // fake_alsa.cc), configured by FAKE_ALSA_* variables; it passes what it
    // does not fake on to the device chosen with use_audio(). Its call log is
    // fake_alsa_calls().
    void use_fake_alsa(const std::map<std::string, std::string> &behaviour = {});
    std::vector<std::string> fake_alsa_calls() const;
    // Preloads `library` into the program, by its file name with its folder
    // on LD_LIBRARY_PATH: the loader splits LD_PRELOAD at spaces too.
    void preload(const std::string &library);

    // A stub program on PATH (a shell script body).
    void add_program(const std::string &name, const std::string &script);
    void set_env(const std::string &name, const std::string &value);
    // Replaces the default PATH (the stub folder, then the system's), e.g.
    // with the stub folder alone to hide an installed program.
    void set_path(const std::string &path);
    // Working directory of the program (created); default: the sandbox root.
    void set_cwd(const std::string &dir);
    // Run as this user (uid:gid) instead of root.
    void run_as(uid_t uid, gid_t gid);
    // Makes the machine's /usr/share seem to hold the files of `dir` too
    // (see enter_run_root).
    void plant_in_machine_share(const std::string &dir);
    // Extra shell commands run inside the namespace before the program.
    void before_run(const std::string &shell);
    // Runs this shell command (words already quoted) instead of the program,
    // without TOVU_RUN_WRAPPER: another program of the project.
    void set_command(const std::string &command);

    std::string status() const; // content of the status file, "" if none

    Process start() const;
    // Starts the program once more in the mount namespace of `neighbour`, a
    // process of this sandbox that is still running (its /tmp and /usr/share;
    // the before_run() commands are not repeated), as when the hotkey is
    // pressed twice.
    Process start_beside(pid_t neighbour) const;
    // Starts another program (such as arecord) in the same private world,
    // with the same HOME, environment and PATH as the runs of tovu-voice.
    Process start_other(const std::vector<std::string> &argv) const;
    Result run(std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

  private:
    std::string command() const;
    Process launch(pid_t beside, const std::string &command) const;
    std::string root_;
    std::string cwd_;
    std::map<std::string, std::string> env_;
    std::string setup_;
    std::string command_;
    std::string path_;
    std::string fifo_;
    std::string machine_share_;
    int feed_fd_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// Bounds on the time and CPU time that the program takes are the program's
// promises in the plain pass of the suite. The other passes make the program
// itself slower by a factor, measured on 2 cores with one of them busy:
// - under the valgrind wrapper (TOVU_RUN_WRAPPER): 30 for both;
// - in a sanitizer build: 10 for time, 3 for CPU time. A stop that takes
//   5-60 ms takes 110-660 ms there (up to 1 s with the machine loaded
//   further): the leak check at exit, and the sanitizer's bookkeeping of the
//   test device's buffer, which the ALSA library makes as large as the device
//   allows (a file or null device: 270 MB, untouched); a stalled run's 0.07 s
//   of CPU becomes 0.19 s.
// allowed() and allowed_cpu() scale a plain pass's bound by them.
std::chrono::milliseconds allowed(std::chrono::milliseconds limit);
double allowed_cpu(double seconds);

// Where a folder above the trees that the runs use (source, build, libvosk's)
// is closed to other users, such as a home of mode 0700, gives this process a
// mount namespace of its own in which they can reach the trees (see
// sandbox.cc). For the test programs' main, before any thread starts.
void reach_trees();

// Paths the tests use.
std::string program();           // the tovu-voice under test (TOVU_BINARY)
std::string check_mic_program(); // tovu-voice-check-mic (TOVU_CHECK_MIC)
std::string fake_vosk_library(); // the stand-in libvosk (TOVU_FAKE_VOSK)
std::string fake_alsa_library(); // the failing capture device (TOVU_FAKE_ALSA)
// PipeWire's own ALSA plugin, unpacked (TOVU_PIPEWIRE_ALSA).
std::string pipewire_alsa_plugin();
// The program's own sound cues, as the build made them (TOVU_CUES).
std::string own_cues();

} // namespace sandbox
