// How soon after the start cue begins a run hears, against a real sound
// server: from the start of the cue's player to the capture's first read,
// for tovu-voice (which gets the device ready while the cue plays) and for
// the order of a plain script, as tovu-voice had it before: the cue played
// to its end, then arecord started. The program's own start cue; on
// PulseAudio, whose null sink keeps a player for seconds, a player that
// takes the clip's length as on a sound card.
#include "files.h"
#include "measures.h"
#include "sound_server.h"
#include "table.h"

#include <map>

void measure_first_word(const Paths &p, int runs, sound::Kind kind) {
    const std::string name = sound::route_name(kind);
    sound::Server server(kind, p.work + "/first-word-" + name, p.pipewire_alsa);
    if (!server.ready()) {
        die(name + ": " + server.error());
    }
    const std::string player =
        kind == sound::Kind::pulseaudio ? "#!/bin/sh\nexec sleep 0.16\n" : "";
    const auto on_server = [&](const std::string &run_name, const std::vector<std::string> &argv,
                               bool program) {
        Launch l;
        l.argv = argv;
        l.probe = program;
        l.env = {"XDG_RUNTIME_DIR=" + server.runtime_dir(),
                 "PIPEWIRE_RUNTIME_DIR=" + server.runtime_dir(), "PULSE_SINK=speakers",
                 "TOVU_PROBE=" + p.bench_dir + "/libtovu_probe.so"};
        std::map<std::string, std::string> files;
        for (const char *cue : {"start.wav", "stop.wav", "error.wav"}) {
            files[std::string("share/extras/tovu/") + cue] = sandbox::read_file(p.cues + "/" + cue);
        }
        if (!player.empty()) {
            files["bin/paplay"] = player;
        }
        return run_isolated(p, run_name, server.client_asoundrc(), program, l, files);
    };
    std::vector<double> program;
    std::vector<double> baseline;
    for (int i = 0; i < runs; ++i) {
        const Run run = on_server("first-word", {p.binary}, true);
        if (run.probe.get("spawn_ns") <= 0 || run.probe.get("first_read_ns") <= 0) {
            die("no start cue or no read on " + name + ":\n" + run.out + run.err);
        }
        program.push_back(ms(run.probe.get("first_read_ns") - run.probe.get("spawn_ns")));
        // The probe goes into arecord alone; its report is the run's.
        const Run script = on_server(
            "first-word-script",
            {"sh", "-c",
             "paplay /usr/share/extras/tovu/start.wav 2>/dev/null; LD_PRELOAD=$TOVU_PROBE "
             "TOVU_PROBE_OUT=$PWD/probe.txt exec arecord -q -d 1 -t raw -f S16_LE -r 16000 -c 1 "
             "/dev/null"},
            false);
        const Report probe =
            parse_report(sandbox::read_file(p.work + "/first-word-script/probe.txt"));
        if (script.exit_status != 0 || probe.get("first_read_ns") <= 0) {
            die("the script on " + name + " did not record:\n" + script.out + script.err);
        }
        baseline.push_back(ms(probe.get("first_read_ns") - script.exec_ns));
    }
    const double ours = median(program);
    const double theirs = median(baseline);
    add_row(
        {"real " + name + ": start cue begins -> first chunk read, against cue then arecord (ms)",
         fmt("%.1f", ours), fmt("%.1f", theirs), fmt("%.3f", ours / theirs),
         goal("<= 250 ms", ours <= 250)});
}
