// A real sound server of a test's own: a private PulseAudio, or PipeWire
// with WirePlumber and pipewire-pulse, in a folder of the test's (runtime
// directory, HOME, logs), with a null sink "room" at 16 kHz mono and a
// source "mic" over its monitor as the default source. What is played into
// "room" is what a client recording from the default source hears. Started
// by the constructor, stopped by process id by the destructor; never a
// server that happens to run on the machine.
//
// No test framework here: the benchmarks use it too.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sound {

enum class Kind { pulseaudio, pipewire };

// The .asoundrc that routes a client's ALSA default devices to the server;
// the client finds the server through XDG_RUNTIME_DIR=runtime_dir().
inline const std::string asoundrc = "pcm.!default { type pulse }\nctl.!default { type pulse }\n";

class Server {
  public:
    // Starts the server with its files (HOME, logs) under `dir` and waits until a capture through
    // asoundrc gets audio. ready() tells whether all went well.
    Server(Kind kind, std::string dir);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool ready() const { return error_.empty(); }
    const std::string &error() const { return error_; } // what failed, and the logs
    // XDG_RUNTIME_DIR of its clients: a short path of its own in /run, as
    // the socket paths in it must fit in 108 bytes.
    const std::string &runtime_dir() const { return run_; }

    // Runs a client program (pactl, pacat, arecord ...) of the server to its
    // end; its exit status, and its standard output in `out` when given.
    int client(const std::vector<std::string> &argv, std::string *out = nullptr) const;
    // Plays raw S16_LE 16 kHz mono audio into "room", in the background.
    void play(const std::string &raw_file);
    // Suspends (or resumes) "mic": it then delivers nothing.
    bool suspend(bool on) const;
    // Kills the process that the clients talk to.
    void kill_server();
    // The loudest sample that a reader of room's monitor, running all along,
    // has heard so far.
    int loudest_heard() const;

  private:
    pid_t spawn(const std::vector<std::string> &argv, const std::string &log) const;
    bool start_pulseaudio();
    bool start_pipewire();
    bool fail(const std::string &what);

    Kind kind_;
    std::string dir_;
    std::string run_;
    std::string error_;
    pid_t serving_ = -1;      // the process whose socket the clients use
    std::vector<pid_t> pids_; // everything started, stopped in reverse order
};

} // namespace sound
