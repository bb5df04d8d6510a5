#include "check/volume.h"

#include "base/scratch_file.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs `argv` to its end with its standard output in `out` and its errors
// discarded: the check says itself what failed. True when it exited 0.
bool run_command(const std::vector<std::string> &argv, std::string *out) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(write_end.get(), STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        dup2(null, STDIN_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    write_end = UniqueFd();
    char block[4096];
    for (;;) {
        const ssize_t n = read(read_end.get(), block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (out != nullptr) {
            out->append(block, static_cast<size_t>(n));
        }
    }
    // A stop request does not cut the wait short: the command's change is
    // either made whole or not at all, and the check must know which.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct MixerCloser {
    void operator()(snd_mixer_t *mixer) const { snd_mixer_close(mixer); }
};

} // namespace

bool read_source_volume(SourceVolume &source) {
    std::string name;
    std::string volume;
    if (!run_command({"pactl", "get-default-source"}, &name) ||
        !run_command({"pactl", "get-source-volume", "@DEFAULT_SOURCE@"}, &volume)) {
        return false;
    }
    source.name = name.substr(0, name.find('\n'));
    // "Volume: front-left: 65536 / 100% / 0.00 dB,   front-right: ..."
    source.volume = -1;
    for (size_t colon = volume.find(": "); colon != std::string::npos;
         colon = volume.find(": ", colon + 1)) {
        char *end = nullptr;
        const long value = std::strtol(volume.c_str() + colon + 2, &end, 10);
        if (end != volume.c_str() + colon + 2 && *end == ' ') {
            source.volume = std::max(source.volume, value);
        }
    }
    return !source.name.empty() && source.volume >= 0;
}

bool set_source_volume(const std::string &name, long volume) {
    return run_command({"pactl", "set-source-volume", name, std::to_string(volume)}, nullptr);
}

long changed_volume(long volume, double change_db) {
    const double scaled = static_cast<double>(volume) * std::pow(10.0, change_db / 60.0);
    return std::clamp(std::lround(scaled), volume_norm / 100, volume_max);
}

double volume_change_db(long from, long to) {
    return from <= 0 || to <= 0
               ? 0.0
               : 60.0 * std::log10(static_cast<double>(to) / static_cast<double>(from));
}

std::string describe_volume(long volume) {
    return std::to_string(volume) + " (" +
           std::to_string(std::lround(100.0 * static_cast<double>(volume) / volume_norm)) + " %)";
}

std::string capture_control_name() {
    snd_mixer_t *raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0) {
        return "";
    }
    const std::unique_ptr<snd_mixer_t, MixerCloser> mixer(raw);
    if (snd_mixer_attach(raw, "default") < 0 ||
        snd_mixer_selem_register(raw, nullptr, nullptr) < 0 || snd_mixer_load(raw) < 0) {
        return "";
    }
    for (snd_mixer_elem_t *elem = snd_mixer_first_elem(raw); elem != nullptr;
         elem = snd_mixer_elem_next(elem)) {
        if (snd_mixer_selem_has_capture_volume(elem)) {
            return snd_mixer_selem_get_name(elem);
        }
    }
    return "";
}
