#include "capture/vad.h"
#include "capture_device.h"
#include "measures.h"
#include "table.h"

namespace {

// The voice-activity capture alone, of at most `max_ms`, on `audio`.
Run run_capture(const Paths &p, const std::string &audio, int max_ms) {
    Launch l;
    l.argv = {p.bench_dir + "/vad_capture", "/tmp/stt_audio.raw", std::to_string(max_ms)};
    return succeeded(run_isolated(p, "capture", sandbox::file_device(audio), false, l),
                     "vad_capture");
}

// arecord on `audio`; with `period` > 0 it reads periods of that many frames
// (its own choice on the file device is 2000).
Run run_arecord(const Paths &p, const std::string &audio, int64_t frames, int period = 0) {
    Launch l;
    l.argv = arecord({"-s", std::to_string(frames), "/tmp/arecord.raw"});
    if (period > 0) {
        l.argv.push_back("--period-size=" + std::to_string(period));
        l.argv.push_back("--buffer-size=" + std::to_string(4 * period));
    }
    return succeeded(run_isolated(p, "arecord", sandbox::file_device(audio), false, l), "arecord");
}

double wall_s(const Run &run) {
    return static_cast<double>(run.end_ns - run.exec_ns) / 1e9;
}

} // namespace

void measure_capture(const Paths &p, const std::string &audio, int runs) {
    // The longest capture there can be: 134217 ms, 4194 chunks.
    const int max_ms = 134217;
    const int64_t frames = static_cast<int64_t>(vad_limits(max_ms).chunk_budget) * chunk_frames;
    const double audio_s = static_cast<double>(frames) / sample_rate;
    std::vector<double> capture_wall;
    std::vector<double> capture_call;
    std::vector<double> capture_cpu;
    std::vector<double> arecord_wall;
    std::vector<double> arecord_cpu;
    std::vector<double> chunked_wall;
    for (int i = 0; i < runs; ++i) {
        const Run c = run_capture(p, audio, max_ms);
        const Run a = run_arecord(p, audio, frames);
        const Run a512 = run_arecord(p, audio, frames, chunk_frames);
        chunked_wall.push_back(wall_s(a512));
        capture_wall.push_back(wall_s(c));
        capture_call.push_back(
            static_cast<double>(
                parse_report(c.err.substr(c.err.find("capture_ns"))).get("capture_ns")) /
            1e9);
        capture_cpu.push_back(c.cpu_s);
        arecord_wall.push_back(wall_s(a));
        arecord_cpu.push_back(a.cpu_s);
    }
    const double bytes = static_cast<double>(frames) * 2;
    const double program = bytes / median(capture_wall) / 1e6;
    const double baseline = bytes / median(arecord_wall) / 1e6;
    add_row({fmt("capture throughput, %.0f s of audio (MB/s)", audio_s), fmt("%.1f", program),
             fmt("%.1f", baseline), fmt("%.3f", program / baseline),
             goal(">= 0.9", program / baseline >= 0.9)});
    const double chunked = bytes / median(chunked_wall) / 1e6;
    add_row({"  against arecord reading 512-frame periods like the capture (MB/s)",
             fmt("%.1f", program), fmt("%.1f", chunked), fmt("%.3f", program / chunked),
             goal(">= 0.9", program / chunked >= 0.9)});
    add_row({"  in real time (x)", fmt("%.0f", audio_s / median(capture_wall)),
             fmt("%.0f", audio_s / median(arecord_wall)), "", ""});
    add_row({"  capture call alone, without process start (MB/s)",
             fmt("%.1f", bytes / median(capture_call) / 1e6), "", "", ""});
    add_row({"CPU time per second of audio (ms/s)",
             fmt("%.3f", median(capture_cpu) * 1000 / audio_s),
             fmt("%.3f", median(arecord_cpu) * 1000 / audio_s),
             fmt("%.3f", median(capture_cpu) / median(arecord_cpu)), ""});
}
