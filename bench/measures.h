// The measures of the benchmark runner. Each adds its rows to the table
// (table.h); main calls them in the order of the table.
#pragma once

#include "launch.h"
#include "sound_server.h"

#include <string>
#include <vector>

struct Utterance {
    std::string name;
    std::string audio; // path of the raw file the device reads
};

// The program with the probe and bare_vosk on the samples that the program
// stores, alternating, `runs` times each, on one utterance.
struct ProgramRuns {
    std::string name; // the utterance's
    std::vector<Run> program;
    std::vector<Run> bare;
};
std::vector<ProgramRuns> run_program_and_bare(const Paths &p,
                                              const std::vector<Utterance> &utterances, int runs);

// 1. From the capture's last read to the processor's start, against the
// bare Vosk calls on the same samples (measure_handoff.cc).
void report_handoff(const std::vector<ProgramRuns> &utterances);
// 3. Memory, from the same runs (measure_memory.cc).
void report_memory(const std::vector<ProgramRuns> &utterances);
// 4. Start-up, from the same runs (measure_startup.cc).
void report_startup(const std::vector<ProgramRuns> &utterances);

// 2. Capture throughput against arecord on the same device, reading `audio`
// (measure_capture.cc).
void measure_capture(const Paths &p, const std::string &audio, int runs);

// 5. Against a real sound server of `kind`, called `name` in the table, in
// real time (measure_real_server.cc).
void measure_real_server(const Paths &p, int runs, sound::Kind kind, const std::string &name);

// 6. From the start cue's beginning to the first read, against a script that
// plays the cue and then starts arecord, on a real sound server of `kind`
// (measure_first_word.cc).
void measure_first_word(const Paths &p, int runs, sound::Kind kind);
