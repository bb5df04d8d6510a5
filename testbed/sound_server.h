// A real sound server of a test's own: a private PulseAudio, or PipeWire
// with WirePlumber and pipewire-pulse (reached through pipewire-pulse or
// through PipeWire's own ALSA plugin), in a folder of the test's (runtime
// directory, HOME, logs), with a null sink "room" at 16 kHz mono and a
// source "mic" over its monitor as the default source, and a null sink
// "speakers" that nobody hears. What is played into
// "room" is what a client recording from the default source hears. Started
// by the constructor, stopped by process id by the destructor; never a
// server that happens to run on the machine.
//
// No test framework here: the benchmarks use it too.
#pragma once

#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sound {

// The server, and the route from a client's ALSA default devices to it.
enum class Kind {
    pulseaudio,    // PulseAudio, through ALSA's `pulse` plugin
    pipewire,      // PipeWire, through the `pulse` plugin and pipewire-pulse
    pipewire_alsa, // PipeWire, through PipeWire's own ALSA plugin
};

// The .asoundrc that routes a client's ALSA default devices to the server
// through the `pulse` plugin; the client finds the server through
// XDG_RUNTIME_DIR=runtime_dir().
inline const std::string asoundrc = "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
// The .asoundrc that routes them through PipeWire's own plugin, loaded from
// `plugin_dir`; the client finds the server through
// PIPEWIRE_RUNTIME_DIR=runtime_dir().
std::string pipewire_alsa_asoundrc(const std::string &plugin_dir);

// The route's name in test names: "PulseAudio", "PipeWire" (through
// pipewire-pulse) or "PipeWireAlsa". PrintTo makes the test framework use it.
std::string route_name(Kind kind);
void PrintTo(Kind kind, std::ostream *os);

class Server {
  public:
    // Starts the server with its files (HOME, logs) under `dir` and waits until a capture through
    // asoundrc gets audio. ready() tells whether all went well. For Kind::pipewire_alsa,
    // `plugin_dir` holds PipeWire's ALSA plugin of the installed pipewire's version (as
    // testbed/fetch_pipewire_alsa.sh leaves it); the server fails when it does not.
    Server(Kind kind, std::string dir, const std::string &plugin_dir = "");
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool ready() const { return error_.empty(); }
    Kind kind() const { return kind_; }
    const std::string &error() const { return error_; } // what failed, and the logs
    // XDG_RUNTIME_DIR of its clients: a short path of its own in /run, as
    // the socket paths in it must fit in 108 bytes.
    const std::string &runtime_dir() const { return run_; }
    // The .asoundrc of a client that takes this server's route.
    const std::string &client_asoundrc() const { return client_asoundrc_; }

    // Runs a client program (pactl, pacat, arecord ...) of the server to its
    // end; its exit status, and its standard output in `out` when given.
    int client(const std::vector<std::string> &argv, std::string *out = nullptr) const;
    // Plays raw S16_LE 16 kHz mono audio into "room", in the background.
    void play(const std::string &raw_file);
    // Stalls (or resumes) "mic": it then delivers nothing while its clients'
    // streams go on. PulseAudio suspends it; PipeWire resumes a suspended
    // node at once, so there the process that makes "mic" is stopped.
    bool suspend(bool on) const;
    // Kills the process that the clients talk to.
    void kill_server();
    // The loudest sample that a reader of room's monitor, running all along,
    // has heard so far.
    int loudest_heard() const;

  private:
    pid_t spawn(const std::vector<std::string> &argv, const std::string &log) const;
    std::string pulse_socket() const;
    bool start_pulseaudio();
    bool start_pipewire();
    bool make_mic();
    bool check_plugin(const std::string &plugin_dir);
    bool fail(const std::string &what);

    Kind kind_;
    std::string dir_;
    std::string run_;
    std::string error_;
    std::string client_asoundrc_ = asoundrc;
    pid_t mic_ = -1;          // on PipeWire, the process that makes "mic"
    pid_t serving_ = -1;      // the process whose socket the clients use
    std::vector<pid_t> pids_; // everything started, stopped in reverse order
};

} // namespace sound
