#include "audio.h"
#include "capture_device.h"
#include "files.h"
#include "measures.h"
#include "table.h"

#include <iterator>

namespace {

// tovu-voice with the probe, on `audio`.
Run run_program(const Paths &p, const std::string &audio) {
    Launch l;
    l.argv = {p.binary};
    l.env = p.extra_env;
    l.probe = true;
    l.stamp = true;
    const Run run = run_isolated(p, "program", sandbox::file_device(audio), true, l);
    if (run.exit_status != 0 || run.processor_ns < 0 || run.probe.get("last_read_ns") <= 0) {
        die("tovu-voice run failed (exit status " + std::to_string(run.exit_status) + "):\n" +
            run.out + run.err);
    }
    return run;
}

// bare_vosk on the stored samples `raw`, with the same probe as the program,
// so that both pay for its counting.
Run run_bare(const Paths &p, const std::string &raw) {
    Launch l;
    l.argv = {p.bench_dir + "/bare_vosk", p.fixtures + "/model", raw};
    l.env = p.extra_env;
    l.root = p.work;
    l.probe = true;
    Run run = succeeded(launch(p, l), "bare_vosk");
    // Its own figures, and from the probe the time its libraries took to load.
    const int64_t ctor_ns = run.probe.get("ctor_ns");
    run.probe = parse_report(run.out);
    run.probe.values["ctor_ns"] = ctor_ns;
    return run;
}

} // namespace

std::vector<ProgramRuns> run_program_and_bare(const Paths &p,
                                              const std::vector<Utterance> &utterances, int runs) {
    std::vector<ProgramRuns> all;
    for (const Utterance &u : utterances) {
        const std::string stored = stored_samples(sandbox::read_file(u.audio), 10000);
        const std::string raw = p.work + "/stored-" + std::to_string(&u - &utterances[0]) + ".raw";
        sandbox::write_file(raw, stored);
        ProgramRuns &pair = all.emplace_back(ProgramRuns{u.name, {}, {}});
        for (int i = 0; i < runs; ++i) {
            const Run &program = pair.program.emplace_back(run_program(p, u.audio));
            const Run &bare = pair.bare.emplace_back(run_bare(p, raw));
            const Report &probe = program.probe;
            if (probe.get("samples") != static_cast<int64_t>(stored.size() / 2) ||
                bare.probe.get("samples") != probe.get("samples")) {
                die("the program and the baseline decoded different audio for " + u.name + ": " +
                    std::to_string(probe.get("samples")) + " and " +
                    std::to_string(bare.probe.get("samples")) + " samples");
            }
        }
    }
    return all;
}

void report_handoff(const std::vector<ProgramRuns> &utterances) {
    for (const ProgramRuns &u : utterances) {
        std::vector<double> latency;
        std::vector<double> bare_decode;
        std::vector<double> stages[6];
        for (size_t i = 0; i < u.program.size(); ++i) {
            const Run &program = u.program[i];
            const Report &probe = program.probe;
            latency.push_back(ms(program.processor_ns - probe.get("last_read_ns")));
            bare_decode.push_back(ms(u.bare[i].probe.get("decode_ns")));

            // The two shell commands of the hand-off (those before the
            // first read are the start-up's).
            int64_t mkdir_start = -1;
            int64_t mkdir_end = -1;
            int64_t launch_start = -1;
            for (const SystemCall &call : system_calls(probe)) {
                if (call.start_ns < probe.get("first_read_ns")) {
                    continue;
                }
                if (call.command.find("mkdir -p /tmp/tovu") != std::string::npos) {
                    mkdir_start = call.start_ns;
                    mkdir_end = call.start_ns + call.duration_ns;
                } else if (call.command.find("tovu-processor") != std::string::npos) {
                    launch_start = call.start_ns;
                }
            }
            if (launch_start < 0) {
                die("the hand-off did not start the processor");
            }
            const double mkdir_ms = mkdir_start < 0 ? 0 : ms(mkdir_end - mkdir_start);
            // The hand-off, stage by stage.
            const int64_t marks[] = {probe.get("last_read_ns"), probe.get("pcm_close_ns"),
                                     probe.get("accept_ns"), probe.get("decoded_ns"), launch_start};
            for (size_t k = 0; k + 1 < std::size(marks); ++k) {
                stages[k].push_back(ms(marks[k + 1] - marks[k]));
            }
            stages[3].back() -= mkdir_ms;
            stages[4].push_back(mkdir_ms);
            stages[5].push_back(ms(program.processor_ns - launch_start));
        }
        const double l = median(latency);
        const double b = median(bare_decode);
        const double limit = 1.02 * b + 1.0;
        add_row({"hand-off latency, " + u.name + " (ms)", fmt("%.2f", l), fmt("%.2f", b),
                 fmt("%.3f", l / b), goal(fmt("<= %.2f ms", limit), l <= limit)});
        const char *stage_names[] = {
            "last read -> capture device closed",
            "-> Vosk called (raw file read back)",
            "-> Vosk returned",
            "-> result cleaned, printed, saved (shells aside)",
            "   mkdir -p /tmp/tovu through the shell",
            "-> processor running (shell, fork, exec)",
        };
        for (size_t k = 0; k < std::size(stage_names); ++k) {
            const bool vosk = k == 2; // the part that the bare program does too
            add_row({std::string("  ") + stage_names[k] + " (ms)", fmt("%.3f", median(stages[k])),
                     vosk ? fmt("%.3f", b) : "", vosk ? fmt("%.3f", median(stages[k]) / b) : "",
                     ""});
        }
    }
}
