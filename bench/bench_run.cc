// Benchmark runner: runs tovu-voice and its baselines side by side on the
// same audio and model and prints one table of medians and ratios.
//
//   bench_run --binary TOVU_VOICE --bench-dir DIR --fixtures DIR --work DIR [--runs N]
//             [--real-runs N]         (runs of the real-time measures, default 3)
//             [--env NAME=VALUE]...   (extra environment for tovu-voice and bare_vosk)
//             [--pipewire-alsa DIR]   (PipeWire's own ALSA plugin, unpacked: adds the
//                                      real-time measures on that route)
//             [--cues DIR]            (the program's own cues: adds, on each route, the
//                                      time from the start cue to the first read)
//             [--check-mic PROGRAM]   (tovu-voice-check-mic: adds its CPU time while
//                                      listening to the real-time measures)
//
// DIR of --bench-dir holds bare_vosk, vad_capture, processor_stub and
// libtovu_probe.so; --fixtures holds the generated test model and audio.
//
// Every run of tovu-voice (and of the capture, and of arecord) happens in a
// private mount namespace whose /tmp is a folder of the run and whose
// /usr/share is an overlay with another folder as upper layer, with a HOME
// whose .asoundrc makes ALSA's default capture device read a raw file: the
// machine itself is not touched. The runs alternate (program, baseline,
// program, ...) so that drift affects both alike. The last measures run in
// real time against a private PulseAudio server, and against a private
// PipeWire through its own ALSA plugin (the testbed's sound_server).
//
// launch.h starts the runs, table.h holds the rows, and each measure has a
// file of its own: measure_handoff.cc (with the runs that measure_memory.cc
// and measure_startup.cc read too), measure_capture.cc and
// measure_real_server.cc.
#include "audio.h"
#include "files.h"
#include "measures.h"
#include "table.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::write_file;

namespace {

std::string machine() {
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    return cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           std::to_string(sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) >> 30) + " GiB, Linux " +
           u.release;
}

} // namespace

int main(int argc, char **argv) {
    Paths p;
    int runs = 15;
    int real_runs = 3; // each takes some 21 s of real time
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--binary") {
            p.binary = value;
        } else if (flag == "--bench-dir") {
            p.bench_dir = value;
        } else if (flag == "--fixtures") {
            p.fixtures = value;
        } else if (flag == "--work") {
            p.work = value;
        } else if (flag == "--env") {
            p.extra_env.push_back(value);
        } else if (flag == "--runs") {
            runs = std::atoi(value.c_str());
        } else if (flag == "--pipewire-alsa") {
            p.pipewire_alsa = value;
        } else if (flag == "--cues") {
            p.cues = fs::absolute(value).lexically_normal().string();
        } else if (flag == "--check-mic") {
            p.check_mic = fs::absolute(value).lexically_normal().string();
        } else if (flag == "--real-runs") {
            real_runs = std::atoi(value.c_str());
        } else {
            die("unknown option " + flag);
        }
    }
    if (p.binary.empty() || p.bench_dir.empty() || p.fixtures.empty() || p.work.empty() ||
        runs < 1 || real_runs < 1) {
        die("usage: bench_run --binary B --bench-dir D --fixtures F --work W [--runs N] "
            "[--real-runs N]");
    }
    for (std::string *path : {&p.binary, &p.bench_dir, &p.fixtures, &p.work}) {
        *path = fs::absolute(*path).lexically_normal().string();
    }
    if (geteuid() != 0) {
        die("needs root, for its private mount namespaces");
    }
    fs::create_directories(p.work);

    // Audio: the spoken fixture, tones of 1 s and 5 s, a tone that the 10 s
    // budget cuts (312 chunks), and for throughput one longer than the
    // longest capture there can be.
    const std::string tone1 = p.work + "/tone_1s.raw";
    const std::string tone5 = p.work + "/tone_5s.raw";
    const std::string tone_long = p.work + "/tone_140s.raw";
    write_file(tone1, tone_utterance(1));
    write_file(tone5, tone_utterance(5));
    write_file(tone_long, tone_utterance(140));
    const std::vector<Utterance> utterances = {
        {"1 s tone", tone1},
        {"spoken request", p.fixtures + "/speech.raw"},
        {"5 s tone", tone5},
        {"312 chunks (10 s budget)", p.fixtures + "/long_speech.raw"},
    };

    std::printf("machine: %s\nload average before: %sruns per measure: %d (medians)\n\n",
                machine().c_str(), read_file("/proc/loadavg").c_str(), runs);
    std::fflush(stdout);
    const std::vector<ProgramRuns> program_runs = run_program_and_bare(p, utterances, runs);
    report_handoff(program_runs);
    report_memory(program_runs);
    report_startup(program_runs);
    measure_capture(p, tone_long, runs);
    measure_real_server(p, real_runs, sound::Kind::pulseaudio, "PulseAudio");
    if (!p.pipewire_alsa.empty()) {
        // Reached through its own ALSA plugin, as on most desktops.
        measure_real_server(p, real_runs, sound::Kind::pipewire_alsa, "PipeWire");
    }
    if (!p.cues.empty() && !p.pipewire_alsa.empty()) {
        for (const sound::Kind kind :
             {sound::Kind::pulseaudio, sound::Kind::pipewire, sound::Kind::pipewire_alsa}) {
            measure_first_word(p, real_runs, kind);
        }
    }
    print_table();
    std::printf("\nload average after: %s", read_file("/proc/loadavg").c_str());
    return 0;
}
