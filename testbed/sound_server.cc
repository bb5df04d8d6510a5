#include "sound_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sound {

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
}

// Tries `done` until it holds or `timeout` has passed, for readiness that
// no event announces; `done` must be a query that changes nothing in the
// server's runtime directory.
bool retry_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        usleep(10000);
    }
    return true;
}

// Whether a client may connect to the listening socket at `path`. A bare
// connection that is closed at once: unlike a client library, it creates
// nothing.
bool accepts(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Waits until the server `pid` listens on the socket `path`, on the server's
// own signals: the socket's creation in its folder (inotify) and the
// server's end (its pidfd). Between bind and listen a connection is refused,
// so a socket that is there is asked again after each event or 10 ms.
bool wait_for_socket(const std::string &path, pid_t pid, std::chrono::milliseconds timeout) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ok = false;
    if (watch >= 0 && ended >= 0 &&
        inotify_add_watch(watch, fs::path(path).parent_path().c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        pollfd fds[2] = {{watch, POLLIN, 0}, {ended, POLLIN, 0}};
        while (!(ok = accepts(path))) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            const bool there = fs::exists(path);
            if (poll(fds, 2, there ? 10 : static_cast<int>(left.count())) < 0 && errno != EINTR) {
                break;
            }
            if (fds[1].revents != 0) {
                ok = accepts(path);
                break;
            }
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) {
        close(watch);
    }
    if (ended >= 0) {
        close(ended);
    }
    return ok;
}

// SIGTERM, then SIGKILL if it has not ended within two seconds; reaped.
void stop(pid_t pid) {
    kill(pid, SIGTERM);
    kill(pid, SIGCONT); // a stalled "mic" handles it once it goes on
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd ended{fd, POLLIN, 0};
        poll(&ended, 1, 2000);
        close(fd);
    }
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool alive(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

const auto start_timeout = std::chrono::seconds(15);

} // namespace

std::string route_name(Kind kind) {
    return kind == Kind::pulseaudio ? "PulseAudio"
           : kind == Kind::pipewire ? "PipeWire"
                                    : "PipeWireAlsa";
}

void PrintTo(Kind kind, std::ostream *os) {
    *os << route_name(kind);
}

std::string pipewire_alsa_asoundrc(const std::string &plugin_dir) {
    return "pcm_type.pipewire { lib \"" + plugin_dir + "/libasound_module_pcm_pipewire.so\" }\n" +
           "ctl_type.pipewire { lib \"" + plugin_dir + "/libasound_module_ctl_pipewire.so\" }\n" +
           "pcm.!default { type pipewire playback_node \"-1\" capture_node \"-1\" }\n" +
           "ctl.!default { type pipewire }\n";
}

Server::Server(Kind kind, std::string dir, const std::string &plugin_dir)
    : kind_(kind), dir_(std::move(dir)) {
    fs::create_directories(dir_ + "/home");
    char run[] = "/run/tovu-sound-XXXXXX"; // mode 0700
    if (mkdtemp(run) == nullptr) {
        fail("cannot make a runtime directory in /run");
        return;
    }
    run_ = run;
    // The folder of the pulse protocol's socket, made before any server
    // starts: a client library makes it when it connects, and pipewire-pulse
    // gives up when the folder appears between its own check and its mkdir.
    if (mkdir((run_ + "/pulse").c_str(), 0700) != 0) {
        fail("cannot make " + run_ + "/pulse");
        return;
    }
    // The capture probe below routes ALSA through this HOME: through
    // pipewire-pulse on PipeWire whatever the clients' route, as the
    // machine's own ALSA hooks would take that route anyway.
    write_file(dir_ + "/home/.asoundrc", asoundrc);
    if ((kind == Kind::pipewire_alsa && !check_plugin(plugin_dir)) ||
        !(kind == Kind::pulseaudio ? start_pulseaudio() : start_pipewire())) {
        return;
    }
    const auto pactl_ok = [this](std::vector<std::string> args) {
        args.insert(args.begin(), "pactl");
        return client(args) == 0;
    };
    if (!pactl_ok(
            {"load-module", "module-null-sink", "sink_name=room", "rate=16000", "channels=1"}) ||
        !pactl_ok({"load-module", "module-null-sink", "sink_name=speakers"}) || !make_mic() ||
        !pactl_ok({"set-default-sink", "room"}) || !pactl_ok({"set-default-source", "mic"})) {
        fail("cannot make the sink and the source");
        return;
    }
    // A reader on the monitor keeps it running in real time: without one,
    // audio played before a client connects can reach it all at once. On
    // PipeWire its latency sets the period of the whole graph, and periods
    // of 10 ms lose audio on a busy machine (measured with three busy loops
    // on 2 cores: 1.7-2.3 s of 10 s lost, 0.1-0.25 s at 128 ms).
    const std::string latency = kind == Kind::pulseaudio ? "10" : "128";
    pids_.push_back(spawn({"pacat", "-r", "-d", "room.monitor", "--latency-msec=" + latency,
                           "--raw", "--format=s16le", "--rate=16000", "--channels=1"},
                          dir_ + "/heard.raw"));
    // Right after the server has started, a capture can get nothing for
    // some two seconds: ready once one gets audio.
    if (client({"timeout", "15", "arecord", "-q", "-D", "default", "-t", "raw", "-f", "S16_LE",
                "-r", "16000", "-c", "1", "-s", "800", "/dev/null"}) != 0) {
        fail("a capture through the server got no audio");
    }
}

Server::~Server() {
    for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
        stop(*it);
    }
    if (!run_.empty()) {
        std::error_code ignored;
        fs::remove_all(run_, ignored);
    }
}

bool Server::fail(const std::string &what) {
    error_ = what + " (" + dir_ + ")\n" + read_file(dir_ + "/server.log");
    return false;
}

pid_t Server::spawn(const std::vector<std::string> &argv, const std::string &out) const {
    const std::vector<std::string> env = {"HOME=" + dir_ + "/home",
                                          "XDG_RUNTIME_DIR=" + runtime_dir(), "PATH=/usr/bin:/bin",
                                          "LANG=C"};
    std::vector<char *> args;
    std::vector<char *> envp;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    for (const std::string &e : env) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string log = dir_ + "/server.log";
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Nothing outlives the test, even one that is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || to < 0 || err < 0 || dup2(in, 0) < 0 || dup2(to, 1) < 0 || dup2(err, 2) < 0) {
            _exit(127);
        }
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int Server::client(const std::vector<std::string> &argv, std::string *out) const {
    const std::string path = out != nullptr ? dir_ + "/client.out" : "/dev/null";
    const pid_t pid = spawn(argv, path);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    if (out != nullptr) {
        *out = read_file(path);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Server::pulse_socket() const {
    return run_ + "/pulse/native";
}

bool Server::start_pulseaudio() {
    write_file(dir_ + "/server.pa", "load-module module-native-protocol-unix\n");
    serving_ = spawn({"pulseaudio", "-n", "-F", dir_ + "/server.pa", "--daemonize=no",
                      "--exit-idle-time=-1", "--log-target=stderr"},
                     "/dev/null");
    pids_.push_back(serving_);
    if (!wait_for_socket(pulse_socket(), serving_, start_timeout)) {
        return fail("pulseaudio did not start");
    }
    return true;
}

bool Server::start_pipewire() {
    // Headless, as root, without systemd or D-Bus: WirePlumber must not look
    // for logind or the portal, or it exits.
    const std::string wp = dir_ + "/home/.config/wireplumber";
    write_file(wp + "/bluetooth.lua.d/80-headless.lua",
               "bluez_monitor.properties[\"with-logind\"] = false\n");
    write_file(wp + "/main.lua.d/80-headless.lua",
               "default_access.properties[\"enable-flatpak-portal\"] = false\n"
               "alsa_monitor.properties[\"alsa.reserve\"] = false\n");
    const pid_t pipewire = spawn({"pipewire"}, "/dev/null");
    // PipeWire's own plugin talks to pipewire itself.
    serving_ = pipewire;
    pids_.push_back(pipewire);
    if (!wait_for_socket(run_ + "/pipewire-0", pipewire, start_timeout)) {
        return fail("pipewire did not start");
    }
    // Without WirePlumber, streams time out.
    const pid_t wireplumber = spawn({"wireplumber"}, "/dev/null");
    pids_.push_back(wireplumber);
    const pid_t pulse = spawn({"pipewire-pulse"}, "/dev/null");
    pids_.push_back(pulse);
    if (kind_ == Kind::pipewire) {
        serving_ = pulse;
    }
    if (!wait_for_socket(pulse_socket(), pulse, start_timeout)) {
        return fail("pipewire-pulse did not start");
    }
    // WirePlumber announces itself only as a client of pipewire's; asking
    // pipewire for its clients touches nothing of the pulse server's.
    std::string clients;
    if (!retry_until(
            [&] {
                return !alive(wireplumber) || (client({"pw-cli", "ls", "Client"}, &clients) == 0 &&
                                               clients.find("WirePlumber") != std::string::npos);
            },
            start_timeout) ||
        !alive(wireplumber)) {
        return fail("wireplumber did not start");
    }
    return true;
}

bool Server::check_plugin(const std::string &plugin_dir) {
    std::string installed;
    client({"dpkg-query", "-W", "-f=${Version}", "pipewire"}, &installed);
    const std::string version = read_file(plugin_dir + "/version");
    if (version != installed + "\n" ||
        !fs::exists(plugin_dir + "/libasound_module_pcm_pipewire.so")) {
        return fail("PipeWire's ALSA plugin of the installed pipewire " + installed +
                    " is not in " + plugin_dir + " (found \"" + version +
                    "\"): testbed/fetch_pipewire_alsa.sh puts it there");
    }
    client_asoundrc_ = pipewire_alsa_asoundrc(plugin_dir);
    return true;
}

bool Server::make_mic() {
    if (kind_ == Kind::pulseaudio) {
        return client({"pactl", "load-module", "module-remap-source", "source_name=mic",
                       "master=room.monitor", "channels=1", "rate=16000"}) == 0;
    }
    // The same loopback as pipewire-pulse's module-remap-source, in a
    // process of its own that suspend() can stop.
    mic_ = spawn({"pw-loopback", "-n", "mic", "-c", "1", "-m", "[ MONO ]",
                  "--capture-props=node.name=input.mic stream.capture.sink=true "
                  "target.object=room audio.rate=16000",
                  "--playback-props=node.name=mic media.class=Audio/Source audio.rate=16000"},
                 "/dev/null");
    pids_.push_back(mic_);
    std::string sources;
    return retry_until(
               [&] {
                   return !alive(mic_) ||
                          (client({"pactl", "list", "short", "sources"}, &sources) == 0 &&
                           sources.find("\tmic\t") != std::string::npos);
               },
               start_timeout) &&
           alive(mic_);
}

void Server::play(const std::string &raw_file) {
    pids_.push_back(spawn({"pacat", "-p", "-d", "room", "--raw", "--format=s16le", "--rate=16000",
                           "--channels=1", raw_file},
                          "/dev/null"));
}

bool Server::suspend(bool on) const {
    if (kind_ != Kind::pulseaudio) {
        // Done once the process has stopped (or goes on).
        int status = 0;
        return kill(mic_, on ? SIGSTOP : SIGCONT) == 0 &&
               waitpid(mic_, &status, on ? WUNTRACED : WCONTINUED) == mic_;
    }
    return client({"pactl", "suspend-source", "mic", on ? "1" : "0"}) == 0;
}

void Server::kill_server() {
    kill(serving_, SIGKILL);
    waitpid(serving_, nullptr, 0);
    pids_.erase(std::remove(pids_.begin(), pids_.end(), serving_), pids_.end());
}

int Server::loudest_heard() const {
    const std::string heard = read_file(dir_ + "/heard.raw");
    int loudest = 0;
    for (size_t at = 0; at + 2 <= heard.size(); at += 2) {
        int16_t sample = 0;
        std::memcpy(&sample, heard.data() + at, 2);
        loudest = std::max(loudest, std::abs(static_cast<int>(sample)));
    }
    return loudest;
}

} // namespace sound
