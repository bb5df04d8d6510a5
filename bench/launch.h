// How the benchmark runner starts a run and reads back what it reported:
// every program that it measures is started by launch(), most of them in a
// private world of their own (run_isolated) like the tests' sandbox.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

int64_t now_ns(); // CLOCK_MONOTONIC
[[noreturn]] void die(const std::string &message);

struct Paths {
    std::string binary;
    std::string bench_dir; // bare_vosk, vad_capture, processor_stub, libtovu_probe.so
    std::string fixtures;
    std::string work;
    std::vector<std::string> extra_env; // --env NAME=VALUE: for the program and bare_vosk
    std::string pipewire_alsa;          // --pipewire-alsa DIR
    std::string check_mic;              // --check-mic: tovu-voice-check-mic
    std::string cues;                   // --cues DIR: the program's own sound cues
};

// key=value lines; repeated keys keep their last value, except "system",
// whose values are collected in order.
struct Report {
    std::map<std::string, int64_t> values;
    std::vector<std::string> system_calls;
    std::string result;
    int64_t get(const std::string &key) const; // -1 when missing
};
Report parse_report(const std::string &text);

// A shell command of the program's, from a "system" line of the probe.
struct SystemCall {
    int64_t start_ns = 0;
    int64_t duration_ns = 0;
    std::string command;
};
std::vector<SystemCall> system_calls(const Report &probe);

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
    std::string root;     // the working folder; with `isolate` also the run's world
    bool isolate = false; // in the private world of `root` (run_root.h)
    bool probe = false;   // with libtovu_probe.so preloaded; its report read back
    bool stamp = false;   // the stub processor's start read back
    int signal = 0;       // sent once "Listening... " is out, when set
};

// Runs `l` to its end; dies when it cannot be started.
Run launch(const Paths &p, const Launch &l);

// Runs `l` in a private world of its own: a fresh folder `name` under the
// work folder with `asoundrc` in its HOME, the stub processor on PATH, the
// `files` (a path under the folder: its content; executable under bin/)
// and, when `with_model`, the model in the data directory.
Run run_isolated(const Paths &p, const std::string &name, const std::string &asoundrc,
                 bool with_model, Launch l, const std::map<std::string, std::string> &files = {});

// Dies with `what` and the run's output unless it exited 0.
Run succeeded(Run run, const std::string &what);

// arecord on the default capture device, 16 kHz mono S16_LE raw, then `rest`.
std::vector<std::string> arecord(const std::vector<std::string> &rest);
