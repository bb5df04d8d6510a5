// The program's CPU time for a capture that the 10 s cap ends (a tone plays
// all along) beside arecord recording 10 s from the same source, and how soon
// Ctrl-C ends a listening run while audio flows and while the source is
// suspended (delivering nothing), against a private sound server: PulseAudio,
// and PipeWire through its own ALSA plugin. With tovu-voice-check-mic, also
// its CPU time for a whole 8 s listen (the tone never falls quiet) beside
// arecord recording 8 s from the same source.
#include "audio.h"
#include "files.h"
#include "measures.h"
#include "sound_server.h"
#include "table.h"

#include <csignal>
#include <utility>

void measure_real_server(const Paths &p, int runs, sound::Kind kind, const std::string &name) {
    sound::Server server(kind,
                         p.work + (kind == sound::Kind::pulseaudio ? "/pulseaudio" : "/pipewire"),
                         p.pipewire_alsa);
    if (!server.ready()) {
        die(name + ": " + server.error());
    }
    const auto on_server = [&](const std::string &run_name, const std::vector<std::string> &argv,
                               int signal) {
        const bool program = argv.front() == p.binary;
        Launch l;
        l.argv = argv;
        l.env = {"XDG_RUNTIME_DIR=" + server.runtime_dir(),
                 "PIPEWIRE_RUNTIME_DIR=" + server.runtime_dir()};
        l.signal = signal;
        Run run = run_isolated(p, run_name, server.client_asoundrc(), program, l);
        if (run.listening_ns < 0 && program) {
            die(run_name + " did not listen:\n" + run.out + run.err);
        }
        return run;
    };
    const std::string tone = p.work + "/tone_real_server.raw";
    sandbox::write_file(tone, tone_utterance(runs * 45.0));
    server.play(tone);
    std::vector<double> program_cpu;
    std::vector<double> arecord_cpu;
    std::vector<double> flowing;
    std::vector<double> suspended;
    std::vector<double> stopped_cpu;
    std::vector<double> check_cpu;
    std::vector<double> check_arecord_cpu;
    for (int i = 0; i < runs; ++i) {
        const Run capped = on_server("capture", {p.binary}, 0);
        if (capped.out.find(".Processing... ") == std::string::npos) {
            die("the capture on " + name + " did not reach the cap:\n" + capped.out + capped.err);
        }
        program_cpu.push_back(capped.cpu_s * 1000);
        const Run a = succeeded(on_server("arecord", arecord({"-d", "10", "/tmp/a.raw"}), 0),
                                "arecord on " + name);
        arecord_cpu.push_back(a.cpu_s * 1000);
        if (!p.check_mic.empty()) {
            const Run check = on_server("check", {p.check_mic}, 0);
            if (check.out.find("Heard 8.0 s.") == std::string::npos) {
                die("the check on " + name + " did not listen 8 s:\n" + check.out + check.err);
            }
            check_cpu.push_back(check.cpu_s * 1000);
            const Run c = succeeded(on_server("arecord", arecord({"-d", "8", "/tmp/a.raw"}), 0),
                                    "arecord on " + name);
            check_arecord_cpu.push_back(c.cpu_s * 1000);
        }
        for (const bool suspend : {false, true}) {
            if (suspend && !server.suspend(true)) {
                die("cannot suspend the source");
            }
            const Run stop = on_server("stop", {p.binary}, SIGINT);
            if (stop.exit_status != 0 ||
                stop.out.find("Stopping program...") == std::string::npos) {
                die("Ctrl-C on " + name + " did not stop the run:\n" + stop.out + stop.err);
            }
            (suspend ? suspended : flowing).push_back(ms(stop.end_ns - stop.signal_ns));
            if (!suspend) {
                stopped_cpu.push_back(stop.cpu_s * 1000);
            }
            if (suspend && !server.suspend(false)) {
                die("cannot resume the source");
            }
        }
    }
    const double program = median(program_cpu);
    const double baseline = median(arecord_cpu);
    add_row({"real " + name + ": CPU time, 10 s capture against arecord -d 10 (ms)",
             fmt("%.1f", program), fmt("%.1f", baseline), fmt("%.3f", program / baseline), ""});
    add_row({"  of which start-up and end (a run stopped at \"Listening... \") (ms)",
             fmt("%.1f", median(stopped_cpu)), "", "", ""});
    for (const auto &[state, latency] :
         {std::pair{"audio flowing", &flowing}, std::pair{"source suspended", &suspended}}) {
        const double l = median(*latency);
        add_row({std::string("  Ctrl-C to the end of the run, ") + state + " (ms)", fmt("%.1f", l),
                 "", "", goal("<= 200 ms", l <= 200)});
    }
    if (!check_cpu.empty()) {
        const double check = median(check_cpu);
        const double check_baseline = median(check_arecord_cpu);
        add_row({"real " + name + ": CPU time, check-mic listening 8 s against arecord -d 8 (ms)",
                 fmt("%.1f", check), fmt("%.1f", check_baseline),
                 fmt("%.3f", check / check_baseline), ""});
    }
}
