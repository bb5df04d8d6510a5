// tovu-voice-check-mic: listens as tovu-voice does, shows the level, says
// whether tovu-voice would hear such a request and end it by silence, and
// what to change when it would not.
#include "base/instance_lock.h"
#include "base/state.h"
#include "capture/device.h"
#include "capture/listen.h"
#include "capture/vad.h"
#include "check/judge.h"
#include "check/volume.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *usage =
    "Usage: tovu-voice-check-mic [--adjust]\n"
    "Checks that tovu-voice hears you through the default microphone.\n"
    "  --adjust  set the sound server's input volume by what is measured\n";
constexpr int exit_usage = 2;

struct Heard {
    std::vector<double> levels; // one per chunk
    int64_t clipped = 0;        // samples at full scale
};

enum class ListenEnd { heard, stopped, failed };

// ---- the level meter ---------------------------------------------------------

constexpr int meter_width = 48;
constexpr double meter_floor_db = -60.0;

int meter_column(double db) {
    const double at = (db - meter_floor_db) / -meter_floor_db * meter_width;
    return static_cast<int>(std::lround(std::fmin(std::fmax(at, 0.0), meter_width)));
}

// One redrawn line: the level as a bar, ':' at the keep threshold and '|' at
// the speech threshold.
void draw_meter(double level) {
    const int filled = meter_column(dbfs(level));
    std::string bar(meter_width, '-');
    for (int i = 0; i < filled; ++i) {
        bar[static_cast<size_t>(i)] = '#';
    }
    bar[static_cast<size_t>(meter_column(dbfs(write_threshold)))] = ':';
    bar[static_cast<size_t>(meter_column(dbfs(speech_threshold)))] = '|';
    std::printf("\r  [%s] %6.0f RMS %6.1f dBFS%s\033[K", bar.c_str(), level, dbfs(level),
                level > speech_threshold ? " speech" : "");
    std::fflush(stdout);
}

// Off a terminal: one line per half second, with its loudest chunk.
void print_level_line(const Heard &heard) {
    const size_t every = static_cast<size_t>(chunks_for_duration(lead_ms));
    if (heard.levels.size() % every != 0) {
        return;
    }
    double loudest = 0;
    for (size_t i = heard.levels.size() - every; i < heard.levels.size(); ++i) {
        loudest = std::fmax(loudest, heard.levels[i]);
    }
    std::printf("  %4.1f s %6.0f RMS %6.1f dBFS%s\n",
                static_cast<double>(heard.levels.size() * chunk_frames) / sample_rate, loudest,
                dbfs(loudest), loudest > speech_threshold ? " speech" : "");
    std::fflush(stdout);
}

// ---- listening ---------------------------------------------------------------

const char *route_name(Route route) {
    switch (route) {
    case Route::pulseaudio:
        return "a PulseAudio server (or PipeWire through pipewire-pulse)";
    case Route::pipewire:
        return "PipeWire, through its own ALSA plugin";
    case Route::alsa:
        break;
    }
    return "ALSA";
}

// Opens the device as tovu-voice does and listens until an utterance has
// ended by silence, at most listen_ms; the reason is told when it fails.
ListenEnd listen(bool meter, bool again, Route &route, Heard &heard) {
    CaptureDevice device;
    std::string offered;
    DeviceOpen opened = open_capture_device(device, offered);
    if (opened == DeviceOpen::opened && !start_capture_device(device)) {
        opened = DeviceOpen::unavailable;
    }
    switch (opened) {
    case DeviceOpen::opened:
        break;
    case DeviceOpen::unavailable:
        std::fputs("Error: No microphone: ALSA's default capture device cannot be opened "
                   "(plug one in, or check ~/.asoundrc and the sound server)\n",
                   stderr);
        return ListenEnd::failed;
    case DeviceOpen::wrong_format:
        std::printf("Device: ALSA's \"default\", which offers only %s\n", offered.c_str());
        report_wrong_format(offered);
        return ListenEnd::failed;
    }
    route = device_route(device.pcm.get());
    std::printf("Device: ALSA's \"default\", through %s: S16_LE, 16000 Hz, mono\n",
                route_name(route));
    if (meter) {
        std::printf("Meter: ':' is the keep threshold (%.0f RMS, %.0f dBFS), '|' the speech "
                    "threshold (%.0f RMS, %.0f dBFS).\n",
                    write_threshold, dbfs(write_threshold), speech_threshold,
                    dbfs(speech_threshold));
    }
    std::puts("Say a request as you would to tovu-voice (\"hey tovu, open the browser\").");
    std::printf("Listening%s for up to %d s...\n", again ? " again" : "", listen_ms / 1000);
    std::fflush(stdout);

    std::vector<int16_t> buffer(chunk_frames);
    const VadLimits limits = listening_limits();
    heard.levels.reserve(static_cast<size_t>(limits.chunk_budget));
    const auto deadline = Clock::now() + std::chrono::milliseconds(listen_ms) + stall_grace;
    int failed_reads = 0;
    VadState live;
    VadEnd end = VadEnd::none;
    while (end == VadEnd::none) {
        size_t frames = 0;
        const Listened next = next_chunk(device, buffer.data(), deadline, failed_reads, frames);
        if (next == Listened::stalled) {
            std::fputs("\nError: No audio from the microphone\n", stderr);
            return ListenEnd::failed;
        }
        if (next == Listened::failed) {
            std::fputs("\nError: The microphone stopped delivering audio\n", stderr);
            return ListenEnd::failed;
        }
        if (next != Listened::chunk) {
            return ListenEnd::stopped;
        }
        for (size_t i = 0; i < frames; ++i) {
            heard.clipped += buffer[i] >= 32767 || buffer[i] <= -32768;
        }
        heard.levels.push_back(calculate_rms(buffer.data(), frames));
        end = vad_step(live, limits, heard.levels.back()).end;
        if (meter) {
            draw_meter(heard.levels.back());
        } else {
            print_level_line(heard);
        }
    }
    if (meter) {
        std::puts("");
    }
    return running ? ListenEnd::heard : ListenEnd::stopped;
}

// ---- the report ------------------------------------------------------------

double margin_db(double level, double threshold) {
    return level < 1e-6 ? -120.0 : 20.0 * std::log10(level / threshold);
}

void print_replay(const Replay &r) {
    std::fputs("What tovu-voice would have done: ", stdout);
    switch (r.end) {
    case ReplayEnd::never_started:
        std::printf("never started recording (no chunk above the speech threshold): \"no speech "
                    "detected in the first %d seconds\".\n",
                    no_speech_ms / 1000);
        break;
    case ReplayEnd::silence:
        std::printf("started recording at %.2f s and ended it by silence at %.2f s.\n", r.start_s,
                    r.end_s);
        break;
    case ReplayEnd::capped:
        std::printf("started recording at %.2f s and was cut by the %d s cap.\n", r.start_s,
                    max_utterance_ms / 1000);
        break;
    case ReplayEnd::unfinished:
        std::printf("started recording at %.2f s and was still recording at %.2f s: it never "
                    "heard you stop, and runs on to the %d s cap.\n",
                    r.start_s, r.end_s, max_utterance_ms / 1000);
        break;
    }
}

void print_figures(const Figures &f) {
    std::printf("Room noise: %6.0f RMS (%6.1f dBFS), %+.1f dB from the keep threshold (%.0f), "
                "%+.1f dB from the speech threshold (%.0f)\n",
                f.noise, dbfs(f.noise), margin_db(f.noise, write_threshold), write_threshold,
                margin_db(f.noise, speech_threshold), speech_threshold);
    std::printf("Speech:     %6.0f RMS (%6.1f dBFS), %+.1f dB from the speech threshold (%.0f)\n",
                f.speech, dbfs(f.speech), margin_db(f.speech, speech_threshold), speech_threshold);
    if (f.clipped > 0) {
        std::printf("Clipping:   %lld samples at full scale\n", static_cast<long long>(f.clipped));
    } else {
        std::puts("Clipping:   none");
    }
}

void print_verdict(const Judgement &j) {
    switch (j.verdict) {
    case Verdict::fine:
        std::puts("Verdict: fine: tovu-voice hears you and notices when you stop.");
        return;
    case Verdict::silent:
        std::puts("Verdict: nothing heard: the microphone is muted, or it is not the input that "
                  "tovu-voice listens to. Unmute it and choose it as the input device in the "
                  "sound settings (or: pactl set-source-mute @DEFAULT_SOURCE@ 0).");
        return;
    case Verdict::too_quiet:
        std::printf("Verdict: too quiet: raise the input volume by %.1f dB.\n", j.change_db);
        return;
    case Verdict::too_noisy:
        std::printf("Verdict: too noisy: the room's noise (or an input turned up too far) stays "
                    "near the speech threshold, so tovu-voice would not notice when you stop. "
                    "Lower the input volume by %.1f dB.\n",
                    -j.change_db);
        return;
    case Verdict::too_hot:
        std::printf("Verdict: too loud: your speech clips. Lower the input volume by %.1f dB.\n",
                    -j.change_db);
        return;
    case Verdict::inseparable:
        std::puts("Verdict: your voice is too close to the room's noise for any input volume: "
                  "use a headset or a microphone nearer to you, quiet the room, or turn on the "
                  "sound server's noise suppression (PipeWire's echo-cancel module, "
                  "PulseAudio's module-echo-cancel).");
        return;
    }
}

// Listens, reports, and says whether tovu-voice would have heard the
// request and ended it by silence.
struct Check {
    ListenEnd end;
    Route route = Route::alsa;
    Judgement judgement{Verdict::fine, 0};
    bool passed = false;
};

Check check_once(bool meter, bool again) {
    Check c;
    Heard heard;
    c.end = listen(meter, again, c.route, heard);
    if (c.end != ListenEnd::heard) {
        return c;
    }
    const Replay r = replay(heard.levels);
    const Figures f = measure(heard.levels, heard.clipped);
    c.judgement = judge(f);
    std::printf("Heard %.1f s.\n",
                static_cast<double>(heard.levels.size() * chunk_frames) / sample_rate);
    print_replay(r);
    print_figures(f);
    c.passed = r.end == ReplayEnd::silence;
    if (c.judgement.verdict == Verdict::fine && !c.passed) {
        // The levels are right, but the request never ended within the listen.
        std::printf("Verdict: the level is fine, but you did not stop within %d s: say one short "
                    "request, then stay quiet for two seconds.\n",
                    listen_ms / 1000);
    } else {
        print_verdict(c.judgement);
    }
    std::fflush(stdout);
    return c;
}

// ---- the remedy ------------------------------------------------------------

bool ask_to_change(double change_db) {
    std::printf("Change the input volume by %+.1f dB now? [y/N] ", change_db);
    std::fflush(stdout);
    char answer[16] = {};
    const ssize_t n = read(STDIN_FILENO, answer, sizeof answer - 1);
    return running && n > 0 && (answer[0] == 'y' || answer[0] == 'Y');
}

// `text` as one word for the shell, whatever it holds.
std::string shell_quoted(const std::string &text) {
    std::string quoted(1, '\'');
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

// Where the sound settings go no higher.
constexpr const char *rest_from_boost = "the rest must come from the microphone's own boost "
                                        "(alsamixer, \"Mic Boost\") or from speaking closer.";

// Changes the input volume of `before` to `target`, which is as near to
// `change_db` as the limits allow. False, told, when nothing was changed.
bool change_volume(const SourceVolume &before, long target, double change_db) {
    if (!running) {
        return false;
    }
    // What the server holds afterwards is what is told, whether the change
    // went through or a stop cut it off.
    const bool set = set_source_volume(before.name, target);
    SourceVolume after;
    const long now = read_source_volume(after) ? after.volume : set ? target : before.volume;
    if (now == before.volume) {
        std::fputs("Error: The input volume could not be changed\n", stderr);
        return false;
    }
    std::printf("Changed the input volume of %s from %s to %s (%+.1f dB).\n", before.name.c_str(),
                describe_volume(before.volume).c_str(), describe_volume(now).c_str(),
                volume_change_db(before.volume, now));
    std::printf("To undo: pactl set-source-volume %s %ld\n", shell_quoted(before.name).c_str(),
                before.volume);
    if (now == volume_max && change_db > volume_change_db(before.volume, now)) {
        std::printf("That is as high as the sound settings go; %s\n", rest_from_boost);
    }
    std::fflush(stdout);
    return true;
}

void print_alsa_remedy(double change_db) {
    const std::string control = capture_control_name();
    const long steps = std::lround(std::fabs(change_db));
    const char sign = change_db > 0 ? '+' : '-';
    if (control.empty()) {
        std::printf("Change the microphone's capture level by %c%ld dB in alsamixer (F4 shows "
                    "the capture controls).\n",
                    sign, steps);
        return;
    }
    std::printf("Change the capture control \"%s\" by %c%ld dB: amixer sset %s %lddB%c (or "
                "alsamixer, F4).\n",
                control.c_str(), sign, steps, shell_quoted(control).c_str(), steps, sign);
}

int run_check(bool adjust) {
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const Check first = check_once(terminal, false);
    if (first.end != ListenEnd::heard) {
        return exit_failure;
    }
    // Unless a change is made and confirmed, the first listen tells.
    const int heard = first.passed ? exit_ok : exit_failure;
    const double change = first.judgement.change_db;
    if (change == 0) {
        return heard;
    }
    if (first.route == Route::alsa) {
        print_alsa_remedy(change);
        return heard;
    }
    SourceVolume source;
    if (!read_source_volume(source)) {
        std::printf("The sound server's input volume cannot be read (pactl, from pulseaudio-utils, "
                    "must reach the server): change it by %+.1f dB in the sound settings "
                    "(Input).\n",
                    change);
        return heard;
    }
    const long target = changed_volume(source.volume, change);
    if (target == source.volume) {
        std::printf("The input volume of %s is already %s, as far as it goes%s%s\n",
                    source.name.c_str(), describe_volume(source.volume).c_str(),
                    change > 0 ? ": " : ".", change > 0 ? rest_from_boost : "");
        return heard;
    }
    const double possible = volume_change_db(source.volume, target);
    if (!adjust && !(terminal && isatty(STDIN_FILENO) && ask_to_change(possible))) {
        if (running) {
            std::printf("tovu-voice-check-mic --adjust makes that change (%+.1f dB) and checks "
                        "again; or change it in the sound settings (Input).\n",
                        possible);
        }
        return running ? heard : exit_failure;
    }
    if (!change_volume(source, target, change) || !running) {
        return running ? heard : exit_failure;
    }
    std::puts("Once more, to confirm.");
    const Check confirm = check_once(terminal, true);
    return confirm.end == ListenEnd::heard && confirm.passed ? exit_ok : exit_failure;
}

// ALSA's own messages would stack under the check's one line.
void ignore_alsa_error(const char *, int, const char *, int, const char *, ...) {}

} // namespace

int main(int argc, char **argv) {
    bool adjust = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--adjust") == 0) {
            adjust = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return exit_ok;
        } else {
            std::fprintf(stderr, "tovu-voice-check-mic: unknown option %s\n%s", argv[i], usage);
            return exit_usage;
        }
    }
    install_stop_handler();
    run_phase = phase_checking;
    snd_lib_error_set_handler(ignore_alsa_error);
    const InstanceLock lock = lock_instance();
    if (lock.busy()) {
        std::fputs("Error: tovu-voice (or another check) is running: the check cannot listen "
                   "beside it; run it once that has ended\n",
                   stderr);
        return exit_failure;
    }
    const int status = run_check(adjust);
    snd_config_update_free_global();
    return status;
}
