// Benchmark runner: runs tovu-voice and its baselines side by side on the
// same audio and model and prints one table of medians and ratios.
//
//   bench_run --binary TOVU_VOICE --bench-dir DIR --fixtures DIR --work DIR [--runs N]
//             [--real-runs N]         (runs of the real-time measures, default 3)
//             [--env NAME=VALUE]...   (extra environment for tovu-voice and bare_vosk)
//             [--pipewire-alsa DIR]   (PipeWire's own ALSA plugin, unpacked: adds the
//                                      real-time measures on that route)
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
// PipeWire through its own ALSA plugin (the tests' sound_server).
#include "capture/vad.h"
#include "run_root.h"
#include "sound_server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void die(const std::string &message) {
    std::fprintf(stderr, "bench_run: %s\n", message.c_str());
    std::exit(1);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

// key=value lines; repeated keys keep their last value, except "system",
// whose values are collected in order.
struct Report {
    std::map<std::string, int64_t> values;
    std::vector<std::string> system_calls;
    std::string result;
    int64_t get(const std::string &key) const {
        const auto it = values.find(key);
        return it == values.end() ? -1 : it->second;
    }
};

Report parse_report(const std::string &text) {
    Report report;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "system") {
            report.system_calls.push_back(value);
        } else if (key == "result") {
            report.result = value;
        } else {
            report.values[key] = std::strtoll(value.c_str(), nullptr, 10);
        }
    }
    return report;
}

// ---- Audio ---------------------------------------------------------------------

constexpr int rate = 16000;

// A tone loud enough to be speech for `seconds`, after 0.3 s of silence and
// followed by 12 s of silence (more than any capture reads after speech).
std::string tone_utterance(double seconds) {
    const auto silence = [](double s) {
        return std::vector<int16_t>(static_cast<size_t>(s * rate));
    };
    std::vector<int16_t> samples = silence(0.3);
    const size_t n = static_cast<size_t>(seconds * rate);
    for (size_t i = 0; i < n; ++i) {
        samples.push_back(
            static_cast<int16_t>(0.3 * 32767 * std::sin(2 * M_PI * 440.0 * i / rate)));
    }
    const std::vector<int16_t> tail = silence(12);
    samples.insert(samples.end(), tail.begin(), tail.end());
    return std::string(reinterpret_cast<const char *>(samples.data()), samples.size() * 2);
}

// The samples that the capture stores from `audio` (a raw file as the
// device delivers it), worked out with the capture's own detector.
std::string stored_samples(const std::string &audio, int max_duration_ms) {
    const VadLimits limits = vad_limits(max_duration_ms);
    VadState state;
    std::string stored;
    const size_t chunk_bytes = chunk_frames * 2;
    for (size_t at = 0; at + chunk_bytes <= audio.size(); at += chunk_bytes) {
        const auto *chunk = reinterpret_cast<const int16_t *>(audio.data() + at);
        const VadStep step = vad_step(state, limits, calculate_rms(chunk, chunk_frames));
        if (step.store) {
            stored.append(audio, at, chunk_bytes);
        }
        if (step.end != VadEnd::none) {
            break;
        }
    }
    return stored;
}

// ---- Running programs ------------------------------------------------------------

struct Paths {
    std::string binary;
    std::string bench_dir;
    std::string fixtures;
    std::string work;
    std::vector<std::string> extra_env; // --env NAME=VALUE: for the program and bare_vosk
    std::string pipewire_alsa;          // --pipewire-alsa DIR
};

struct Run {
    int exit_status = -1;
    int64_t exec_ns = 0;       // just before execve
    int64_t listening_ns = -1; // "Listening... " seen on its standard output
    int64_t signal_ns = -1;    // the signal sent (Launch::signal)
    int64_t end_ns = 0;        // reaped
    double cpu_s = 0;          // user + system of the process and its waited-for children
    long max_rss_kb = 0;
    std::string out;
    std::string err;
    Report probe;
    int64_t processor_ns = -1; // the stub processor started
};

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    bool isolate = false;  // private /tmp and /usr/share, as below
    std::string root;      // folder of the run (tmp/, share/, home/ ...)
    std::string probe_out; // read back after the run when set
    std::string stamp;     // the stub processor's stamp file when set
    int signal = 0;        // sent once "Listening... " is out, when set
};

Run launch(const Launch &l) {
    int out[2];
    int err[2];
    int stamp[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(stamp, O_CLOEXEC) != 0) {
        die("pipe");
    }
    std::vector<char *> argv;
    for (const std::string &a : l.argv) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : l.env) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        die("fork");
    }
    if (pid == 0) {
        if (l.isolate && !sandbox::enter_run_root(l.root)) {
            std::perror("namespace");
            _exit(126);
        }
        if (!l.root.empty() && chdir(l.root.c_str()) != 0) {
            _exit(126);
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int64_t t = now_ns();
        [[maybe_unused]] ssize_t ignored = write(stamp[1], &t, sizeof t);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(stamp[1]);

    Run run;
    if (read(stamp[0], &run.exec_ns, sizeof run.exec_ns) != sizeof run.exec_ns) {
        die("the child did not start");
    }
    close(stamp[0]);
    sandbox::ChildOutput output;
    output.fds[0] = out[0];
    output.fds[1] = err[0];
    while (sandbox::pump_output(output, -1)) {
        if (run.listening_ns < 0 && output.text[0].find("Listening... ") != std::string::npos) {
            run.listening_ns = now_ns();
            if (l.signal != 0) {
                run.signal_ns = now_ns();
                kill(pid, l.signal);
            }
        }
    }
    run.out = std::move(output.text[0]);
    run.err = std::move(output.text[1]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        die("wait4");
    }
    run.end_ns = now_ns();
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.max_rss_kb = usage.ru_maxrss;
    if (!l.probe_out.empty()) {
        run.probe = parse_report(read_file(l.probe_out));
    }
    if (!l.stamp.empty()) {
        // The processor runs in the background: give it up to two seconds.
        for (int i = 0; i < 2000 && read_file(l.stamp).empty(); ++i) {
            usleep(1000);
        }
        const std::string text = read_file(l.stamp);
        run.processor_ns = text.empty() ? -1 : std::strtoll(text.c_str(), nullptr, 10);
    }
    return run;
}

// An .asoundrc whose default capture device reads the raw file `audio`.
std::string file_device(const std::string &audio) {
    return "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n  infile \"" +
           audio + "\"\n  format \"raw\"\n}\n";
}

// A fresh folder for one isolated run, with `asoundrc` in its HOME.
std::string prepare_root(const Paths &p, const std::string &name, const std::string &asoundrc,
                         bool with_model) {
    const std::string root = p.work + "/" + name;
    fs::remove_all(root);
    sandbox::make_run_root(root);
    write_file(root + "/home/.asoundrc", asoundrc);
    fs::copy_file(p.bench_dir + "/processor_stub", root + "/bin/tovu-processor");
    if (with_model) {
        // As on every run but the first after a reboot: the result
        // directory is already there.
        fs::create_directories(root + "/tmp/tovu");
        fs::copy(p.fixtures + "/model", root + "/share/extras/tovu/model",
                 fs::copy_options::recursive);
    }
    return root;
}

std::vector<std::string> base_env(const std::string &root) {
    return {"HOME=" + root + "/home", "PATH=" + root + "/bin:/usr/bin:/bin"};
}

// tovu-voice with the probe, on `audio`.
Run run_program(const Paths &p, const std::string &audio) {
    const std::string root = prepare_root(p, "program", file_device(audio), true);
    Launch l;
    l.argv = {p.binary};
    l.env = base_env(root);
    l.env.push_back("LD_PRELOAD=" + p.bench_dir + "/libtovu_probe.so");
    l.env.push_back("TOVU_PROBE_OUT=" + root + "/probe.txt");
    l.env.push_back("TOVU_BENCH_STAMP=" + root + "/processor.stamp");
    l.env.insert(l.env.end(), p.extra_env.begin(), p.extra_env.end());
    l.isolate = true;
    l.root = root;
    l.probe_out = root + "/probe.txt";
    l.stamp = root + "/processor.stamp";
    Run run = launch(l);
    if (run.exit_status != 0 || run.processor_ns < 0 || run.probe.get("last_read_ns") <= 0) {
        die("tovu-voice run failed (exit status " + std::to_string(run.exit_status) + "):\n" +
            run.out + run.err);
    }
    return run;
}

Run run_bare(const Paths &p, const std::string &raw) {
    Launch l;
    l.argv = {p.bench_dir + "/bare_vosk", p.fixtures + "/model", raw};
    // The same probe as the program, so that both pay for its counting.
    const std::string probe_out = p.work + "/bare-probe.txt";
    l.env = {"LD_PRELOAD=" + p.bench_dir + "/libtovu_probe.so", "TOVU_PROBE_OUT=" + probe_out};
    l.env.insert(l.env.end(), p.extra_env.begin(), p.extra_env.end());
    l.root = p.work;
    l.probe_out = probe_out;
    Run run = launch(l);
    if (run.exit_status != 0) {
        die("bare_vosk failed:\n" + run.out + run.err);
    }
    // Its own figures, and from the probe the time its libraries took to load.
    const int64_t ctor_ns = run.probe.get("ctor_ns");
    run.probe = parse_report(run.out);
    run.probe.values["ctor_ns"] = ctor_ns;
    return run;
}

Run run_capture(const Paths &p, const std::string &audio, int max_ms) {
    const std::string root = prepare_root(p, "capture", file_device(audio), false);
    Launch l;
    l.argv = {p.bench_dir + "/vad_capture", "/tmp/stt_audio.raw", std::to_string(max_ms)};
    l.env = base_env(root);
    l.isolate = true;
    l.root = root;
    Run run = launch(l);
    if (run.exit_status != 0) {
        die("vad_capture failed:\n" + run.out + run.err);
    }
    return run;
}

// arecord on `audio`; with `period` > 0 it reads periods of that many frames
// (its own choice on the file device is 2000).
Run run_arecord(const Paths &p, const std::string &audio, int64_t frames, int period = 0) {
    const std::string root = prepare_root(p, "arecord", file_device(audio), false);
    Launch l;
    l.argv = {"/usr/bin/arecord", "-q", "-D",    "default", "-t", "raw", "-f",
              "S16_LE",           "-r", "16000", "-c",      "1",  "-s",  std::to_string(frames),
              "/tmp/arecord.raw"};
    if (period > 0) {
        l.argv.push_back("--period-size=" + std::to_string(period));
        l.argv.push_back("--buffer-size=" + std::to_string(4 * period));
    }
    l.env = base_env(root);
    l.isolate = true;
    l.root = root;
    Run run = launch(l);
    if (run.exit_status != 0) {
        die("arecord failed:\n" + run.out + run.err);
    }
    return run;
}

// ---- Statistics and the table -----------------------------------------------------

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? NAN : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

struct Row {
    std::string what;
    std::string program;
    std::string baseline;
    std::string ratio;
    std::string goal;
};
std::vector<Row> rows;

std::string fmt(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void print_table() {
    size_t w[5] = {0, 0, 0, 0, 0};
    const Row header{"measure", "tovu-voice", "baseline", "ratio", "goal"};
    std::vector<Row> all = {header};
    all.insert(all.end(), rows.begin(), rows.end());
    for (const Row &r : all) {
        const std::string *cells[5] = {&r.what, &r.program, &r.baseline, &r.ratio, &r.goal};
        for (int i = 0; i < 5; ++i) {
            w[i] = std::max(w[i], cells[i]->size());
        }
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const Row &r = all[i];
        std::printf("| %-*s | %*s | %*s | %*s | %-*s |\n", static_cast<int>(w[0]), r.what.c_str(),
                    static_cast<int>(w[1]), r.program.c_str(), static_cast<int>(w[2]),
                    r.baseline.c_str(), static_cast<int>(w[3]), r.ratio.c_str(),
                    static_cast<int>(w[4]), r.goal.c_str());
        if (i == 0) {
            std::printf("|-%s-|-%s:|-%s:|-%s:|-%s-|\n", std::string(w[0], '-').c_str(),
                        std::string(w[1], '-').c_str(), std::string(w[2], '-').c_str(),
                        std::string(w[3], '-').c_str(), std::string(w[4], '-').c_str());
        }
    }
}

// ---- The measurements -----------------------------------------------------------------

struct Utterance {
    std::string name;
    std::string audio; // path of the raw file the device reads
};

// 1. From the capture's last read to the processor's start, against the
// bare Vosk calls on the same samples. Also start-up and memory, from the
// same runs.
void measure_program(const Paths &p, const std::vector<Utterance> &utterances, int runs) {
    struct Memory {
        std::string name;
        double program_kb;
        double bare_kb;
        double capture_allocs;
        double reads;
    };
    std::vector<Memory> memory;
    std::vector<double> startup_all;
    std::vector<double> startup_loader;
    std::vector<double> startup_model;
    std::vector<double> startup_pcm_open;
    std::vector<double> startup_shell;
    std::vector<double> startup_total;
    std::vector<double> bare_loader;

    for (const Utterance &u : utterances) {
        const std::string stored = stored_samples(read_file(u.audio), 10000);
        const std::string raw = p.work + "/stored-" + std::to_string(&u - &utterances[0]) + ".raw";
        write_file(raw, stored);
        std::vector<double> latency;
        std::vector<double> bare_decode;
        std::vector<double> program_rss;
        std::vector<double> bare_rss;
        std::vector<double> capture_allocs;
        std::vector<double> reads;
        std::vector<double> stages[6];
        for (int i = 0; i < runs; ++i) {
            const Run program = run_program(p, u.audio);
            const Run bare = run_bare(p, raw);
            const Report &probe = program.probe;
            if (probe.get("samples") != static_cast<int64_t>(stored.size() / 2) ||
                bare.probe.get("samples") != probe.get("samples")) {
                die("the program and the baseline decoded different audio for " + u.name + ": " +
                    std::to_string(probe.get("samples")) + " and " +
                    std::to_string(bare.probe.get("samples")) + " samples");
            }
            latency.push_back(ms(program.processor_ns - probe.get("last_read_ns")));
            bare_decode.push_back(ms(bare.probe.get("decode_ns")));
            program_rss.push_back(static_cast<double>(probe.get("peak_rss_kb")));
            bare_rss.push_back(static_cast<double>(bare.probe.get("peak_rss_kb")));
            capture_allocs.push_back(static_cast<double>(probe.get("capture_allocs")));
            reads.push_back(static_cast<double>(probe.get("reads")));

            // Shell commands: before listening, and the two of the hand-off.
            double shell_before = 0;
            int64_t mkdir_start = -1;
            int64_t mkdir_end = -1;
            int64_t launch_start = -1;
            for (const std::string &call : probe.system_calls) {
                std::istringstream in(call);
                int64_t start = 0;
                int64_t duration = 0;
                std::string command;
                in >> start >> duration;
                std::getline(in, command);
                if (start < probe.get("first_read_ns")) {
                    shell_before += ms(duration);
                } else if (command.find("mkdir -p /tmp/tovu") != std::string::npos) {
                    mkdir_start = start;
                    mkdir_end = start + duration;
                } else if (command.find("tovu-processor") != std::string::npos) {
                    launch_start = start;
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

            const double engine = ms(probe.get("model_ns") + probe.get("recognizer_ns"));
            const double total = ms(program.listening_ns - program.exec_ns);
            startup_total.push_back(total);
            startup_model.push_back(engine);
            startup_all.push_back(total - engine);
            startup_loader.push_back(ms(probe.get("ctor_ns") - program.exec_ns));
            startup_pcm_open.push_back(ms(probe.get("pcm_open_ns")));
            startup_shell.push_back(shell_before);
            bare_loader.push_back(ms(bare.probe.get("ctor_ns") - bare.exec_ns));
        }
        const double l = median(latency);
        const double b = median(bare_decode);
        const double limit = 1.02 * b + 1.0;
        rows.push_back({"hand-off latency, " + u.name + " (ms)", fmt("%.2f", l), fmt("%.2f", b),
                        fmt("%.3f", l / b),
                        fmt("<= %.2f ms: ", limit) + (l <= limit ? "met" : "MISSED")});
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
            rows.push_back({std::string("  ") + stage_names[k] + " (ms)",
                            fmt("%.3f", median(stages[k])), vosk ? fmt("%.3f", b) : "",
                            vosk ? fmt("%.3f", median(stages[k]) / b) : "", ""});
        }
        memory.push_back(
            {u.name, median(program_rss), median(bare_rss), median(capture_allocs), median(reads)});
    }

    // 3. Memory.
    for (const Memory &m : memory) {
        rows.push_back({"peak RSS, " + m.name + " (KiB)", fmt("%.0f", m.program_kb),
                        fmt("%.0f", m.bare_kb), fmt("%.3f", m.program_kb / m.bare_kb), ""});
    }
    const Memory &shortest = memory.front();
    const Memory &longest = memory.back();
    const double growth = longest.program_kb - shortest.program_kb;
    const double bare_growth = longest.bare_kb - shortest.bare_kb;
    rows.push_back({"peak RSS growth, " + shortest.name + " -> " + longest.name + " (KiB)",
                    fmt("%.0f", growth), fmt("%.0f", bare_growth),
                    fmt("%.3f", bare_growth != 0 ? growth / bare_growth : NAN),
                    // One raw buffer of the longest utterance: 312 chunks of 1 KiB.
                    std::string("program's own <= 312 KiB: ") +
                        (growth - bare_growth <= 312 ? "met" : "MISSED")});
    for (const Memory &m : memory) {
        rows.push_back({"allocations in the capture loop, " + m.name,
                        fmt("%.0f", m.capture_allocs) + " / " + fmt("%.0f", m.reads) + " reads", "",
                        fmt("%.3f", m.capture_allocs / m.reads),
                        "0 per chunk: " + std::string(m.capture_allocs == 0 ? "met" : "MISSED")});
    }

    // 4. Start-up.
    const double s = median(startup_all);
    rows.push_back({"start-up to \"Listening... \" minus model load (ms)", fmt("%.2f", s), "", "",
                    std::string("<= 5 ms: ") + (s <= 5 ? "met" : "MISSED")});
    rows.push_back({"  whole start-up (ms)", fmt("%.2f", median(startup_total)), "", "", ""});
    rows.push_back(
        {"  model + recognizer creation (ms)", fmt("%.2f", median(startup_model)), "", "", ""});
    rows.push_back({"  loading the libraries, exec to first code (ms)",
                    fmt("%.2f", median(startup_loader)), fmt("%.2f", median(bare_loader)),
                    fmt("%.3f", median(startup_loader) / median(bare_loader)), ""});
    rows.push_back(
        {"  opening the capture device (ms)", fmt("%.2f", median(startup_pcm_open)), "", "", ""});
    rows.push_back({"  mkdir -p of the status directory through the shell (ms)",
                    fmt("%.2f", median(startup_shell)), "", "", ""});
}

// 2. Capture throughput against arecord on the same device.
void measure_capture(const Paths &p, const std::string &audio, int runs) {
    // The longest capture there can be: 134217 ms, 4194 chunks.
    const int max_ms = 134217;
    const int64_t frames = static_cast<int64_t>(vad_limits(max_ms).chunk_budget) * chunk_frames;
    const double audio_s = static_cast<double>(frames) / rate;
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
        chunked_wall.push_back(static_cast<double>(a512.end_ns - a512.exec_ns) / 1e9);
        capture_wall.push_back(static_cast<double>(c.end_ns - c.exec_ns) / 1e9);
        capture_call.push_back(
            static_cast<double>(
                parse_report(c.err.substr(c.err.find("capture_ns"))).get("capture_ns")) /
            1e9);
        capture_cpu.push_back(c.cpu_s);
        arecord_wall.push_back(static_cast<double>(a.end_ns - a.exec_ns) / 1e9);
        arecord_cpu.push_back(a.cpu_s);
    }
    const double bytes = static_cast<double>(frames) * 2;
    const double program = bytes / median(capture_wall) / 1e6;
    const double baseline = bytes / median(arecord_wall) / 1e6;
    rows.push_back({fmt("capture throughput, %.0f s of audio (MB/s)", audio_s),
                    fmt("%.1f", program), fmt("%.1f", baseline), fmt("%.3f", program / baseline),
                    std::string(">= 0.9: ") + (program / baseline >= 0.9 ? "met" : "MISSED")});
    const double chunked = bytes / median(chunked_wall) / 1e6;
    rows.push_back({"  against arecord reading 512-frame periods like the capture (MB/s)",
                    fmt("%.1f", program), fmt("%.1f", chunked), fmt("%.3f", program / chunked),
                    std::string(">= 0.9: ") + (program / chunked >= 0.9 ? "met" : "MISSED")});
    rows.push_back({"  in real time (x)", fmt("%.0f", audio_s / median(capture_wall)),
                    fmt("%.0f", audio_s / median(arecord_wall)), "", ""});
    rows.push_back({"  capture call alone, without process start (MB/s)",
                    fmt("%.1f", bytes / median(capture_call) / 1e6), "", "", ""});
    rows.push_back({"CPU time per second of audio (ms/s)",
                    fmt("%.3f", median(capture_cpu) * 1000 / audio_s),
                    fmt("%.3f", median(arecord_cpu) * 1000 / audio_s),
                    fmt("%.3f", median(capture_cpu) / median(arecord_cpu)), ""});
}

// 5. Against a real sound server (`name`) in real time: the program's CPU
// time for a capture that the 10 s cap ends (a tone plays all along) beside
// arecord recording 10 s from the same source, and how soon Ctrl-C ends a
// listening run while audio flows and while the source is suspended
// (delivering nothing).
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
        const std::string root = prepare_root(p, run_name, server.client_asoundrc(), program);
        Launch l;
        l.argv = argv;
        l.env = base_env(root);
        l.env.push_back("XDG_RUNTIME_DIR=" + server.runtime_dir());
        l.env.push_back("PIPEWIRE_RUNTIME_DIR=" + server.runtime_dir());
        l.isolate = true;
        l.root = root;
        l.signal = signal;
        Run run = launch(l);
        if (run.listening_ns < 0 && program) {
            die(run_name + " did not listen:\n" + run.out + run.err);
        }
        return run;
    };
    const std::string tone = p.work + "/tone_real_server.raw";
    write_file(tone, tone_utterance(runs * 25.0));
    server.play(tone);
    std::vector<double> program_cpu;
    std::vector<double> arecord_cpu;
    std::vector<double> flowing;
    std::vector<double> suspended;
    std::vector<double> stopped_cpu;
    for (int i = 0; i < runs; ++i) {
        const Run capped = on_server("capture", {p.binary}, 0);
        if (capped.out.find(".Processing... ") == std::string::npos) {
            die("the capture on " + name + " did not reach the cap:\n" + capped.out + capped.err);
        }
        program_cpu.push_back(capped.cpu_s * 1000);
        const Run a = on_server("arecord",
                                {"/usr/bin/arecord", "-q", "-D", "default", "-t", "raw", "-f",
                                 "S16_LE", "-r", "16000", "-c", "1", "-d", "10", "/tmp/a.raw"},
                                0);
        if (a.exit_status != 0) {
            die("arecord on " + name + " failed:\n" + a.err);
        }
        arecord_cpu.push_back(a.cpu_s * 1000);
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
    rows.push_back({"real " + name + ": CPU time, 10 s capture against arecord -d 10 (ms)",
                    fmt("%.1f", program), fmt("%.1f", baseline), fmt("%.3f", program / baseline),
                    ""});
    rows.push_back({"  of which start-up and end (a run stopped at \"Listening... \") (ms)",
                    fmt("%.1f", median(stopped_cpu)), "", "", ""});
    for (const auto &[state, latency] :
         {std::pair{"audio flowing", &flowing}, std::pair{"source suspended", &suspended}}) {
        const double l = median(*latency);
        rows.push_back({std::string("  Ctrl-C to the end of the run, ") + state + " (ms)",
                        fmt("%.1f", l), "", "",
                        std::string("<= 200 ms: ") + (l <= 200 ? "met" : "MISSED")});
    }
}

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
    measure_program(p, utterances, runs);
    measure_capture(p, tone_long, runs);
    measure_real_server(p, real_runs, sound::Kind::pulseaudio, "PulseAudio");
    if (!p.pipewire_alsa.empty()) {
        // Reached through its own ALSA plugin, as on most desktops.
        measure_real_server(p, real_runs, sound::Kind::pipewire_alsa, "PipeWire");
    }
    print_table();
    std::printf("\nload average after: %s", read_file("/proc/loadavg").c_str());
    return 0;
}
