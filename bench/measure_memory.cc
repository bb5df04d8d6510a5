#include "measures.h"
#include "table.h"

#include <cmath>

namespace {

struct Memory {
    std::string name;
    double program_kb;
    double bare_kb;
    double capture_allocs;
    double reads;
};

Memory memory_of(const ProgramRuns &u) {
    std::vector<double> program_rss;
    std::vector<double> bare_rss;
    std::vector<double> capture_allocs;
    std::vector<double> reads;
    for (size_t i = 0; i < u.program.size(); ++i) {
        const Report &probe = u.program[i].probe;
        program_rss.push_back(static_cast<double>(probe.get("peak_rss_kb")));
        bare_rss.push_back(static_cast<double>(u.bare[i].probe.get("peak_rss_kb")));
        capture_allocs.push_back(static_cast<double>(probe.get("capture_allocs")));
        reads.push_back(static_cast<double>(probe.get("reads")));
    }
    return {u.name, median(program_rss), median(bare_rss), median(capture_allocs), median(reads)};
}

} // namespace

void report_memory(const std::vector<ProgramRuns> &utterances) {
    std::vector<Memory> memory;
    for (const ProgramRuns &u : utterances) {
        memory.push_back(memory_of(u));
    }
    for (const Memory &m : memory) {
        add_row({"peak RSS, " + m.name + " (KiB)", fmt("%.0f", m.program_kb),
                 fmt("%.0f", m.bare_kb), fmt("%.3f", m.program_kb / m.bare_kb), ""});
    }
    const Memory &shortest = memory.front();
    const Memory &longest = memory.back();
    const double growth = longest.program_kb - shortest.program_kb;
    const double bare_growth = longest.bare_kb - shortest.bare_kb;
    add_row({"peak RSS growth, " + shortest.name + " -> " + longest.name + " (KiB)",
             fmt("%.0f", growth), fmt("%.0f", bare_growth),
             fmt("%.3f", bare_growth != 0 ? growth / bare_growth : NAN),
             // One raw buffer of the longest utterance: 312 chunks of 1 KiB.
             goal("program's own <= 312 KiB", growth - bare_growth <= 312)});
    for (const Memory &m : memory) {
        add_row({"allocations in the capture loop, " + m.name,
                 fmt("%.0f", m.capture_allocs) + " / " + fmt("%.0f", m.reads) + " reads", "",
                 fmt("%.3f", m.capture_allocs / m.reads),
                 goal("0 per chunk", m.capture_allocs == 0)});
    }
}
