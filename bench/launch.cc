#include "launch.h"

#include "child.h"
#include "files.h"
#include "run_root.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void die(const std::string &message) {
    std::fprintf(stderr, "bench_run: %s\n", message.c_str());
    std::exit(1);
}

int64_t Report::get(const std::string &key) const {
    const auto it = values.find(key);
    return it == values.end() ? -1 : it->second;
}

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

std::vector<SystemCall> system_calls(const Report &probe) {
    std::vector<SystemCall> calls;
    for (const std::string &line : probe.system_calls) {
        std::istringstream in(line);
        SystemCall call;
        in >> call.start_ns >> call.duration_ns;
        std::getline(in, call.command);
        calls.push_back(call);
    }
    return calls;
}

Run launch(const Paths &p, const Launch &l) {
    const std::string probe_out = l.root + "/probe.txt";
    const std::string stamp_file = l.root + "/processor.stamp";
    sandbox::Spawn how;
    how.argv = l.argv;
    how.env.emplace();
    if (l.isolate) {
        *how.env = {"HOME=" + l.root + "/home", "PATH=" + l.root + "/bin:/usr/bin:/bin"};
        how.run_root = l.root;
    }
    if (l.probe) {
        how.env->push_back("LD_PRELOAD=" + p.bench_dir + "/libtovu_probe.so");
        how.env->push_back("TOVU_PROBE_OUT=" + probe_out);
    }
    if (l.stamp) {
        how.env->push_back("TOVU_BENCH_STAMP=" + stamp_file);
    }
    how.env->insert(how.env->end(), l.env.begin(), l.env.end());
    how.cwd = l.root;
    // The child notes the time just before it execs.
    int stamp[2];
    if (pipe2(stamp, O_CLOEXEC) != 0) {
        die("pipe");
    }
    how.before_exec = [&stamp] {
        const int64_t t = now_ns();
        [[maybe_unused]] ssize_t ignored = write(stamp[1], &t, sizeof t);
    };
    sandbox::Child child = sandbox::spawn(how);
    close(stamp[1]);
    if (child.pid < 0) {
        die(child.error);
    }

    Run run;
    if (read(stamp[0], &run.exec_ns, sizeof run.exec_ns) != sizeof run.exec_ns) {
        die("the child did not start");
    }
    close(stamp[0]);
    while (sandbox::pump_output(child.output, -1)) {
        if (run.listening_ns < 0 &&
            child.output.text[0].find("Listening... ") != std::string::npos) {
            run.listening_ns = now_ns();
            if (l.signal != 0) {
                run.signal_ns = now_ns();
                kill(child.pid, l.signal);
            }
        }
    }
    run.out = std::move(child.output.text[0]);
    run.err = std::move(child.output.text[1]);
    const sandbox::Ended ended = sandbox::reap(child.pid);
    if (!ended.reaped) {
        die("wait4");
    }
    run.end_ns = now_ns();
    run.exit_status = ended.exit_status;
    run.cpu_s = ended.cpu_s;
    run.max_rss_kb = ended.max_rss_kb;
    if (l.probe) {
        run.probe = parse_report(sandbox::read_file(probe_out));
    }
    if (l.stamp) {
        // The processor runs in the background: give it up to two seconds.
        for (int i = 0; i < 2000 && sandbox::read_file(stamp_file).empty(); ++i) {
            usleep(1000);
        }
        const std::string text = sandbox::read_file(stamp_file);
        run.processor_ns = text.empty() ? -1 : std::strtoll(text.c_str(), nullptr, 10);
    }
    return run;
}

Run run_isolated(const Paths &p, const std::string &name, const std::string &asoundrc,
                 bool with_model, Launch l, const std::map<std::string, std::string> &files) {
    const std::string root = p.work + "/" + name;
    fs::remove_all(root);
    sandbox::make_run_root(root);
    for (const auto &[path, content] : files) {
        sandbox::write_file(root + "/" + path, content, path.rfind("bin/", 0) == 0 ? 0755 : 0644);
    }
    sandbox::write_file(root + "/home/.asoundrc", asoundrc);
    fs::copy_file(p.bench_dir + "/processor_stub", root + "/bin/tovu-processor");
    if (with_model) {
        // As on every run but the first after a reboot: the result
        // directory is already there.
        fs::create_directories(root + "/tmp/tovu");
        fs::copy(p.fixtures + "/model", root + "/share/extras/tovu/model",
                 fs::copy_options::recursive);
    }
    l.root = root;
    l.isolate = true;
    return launch(p, l);
}

Run succeeded(Run run, const std::string &what) {
    if (run.exit_status != 0) {
        die(what + " failed:\n" + run.out + run.err);
    }
    return run;
}

std::vector<std::string> arecord(const std::vector<std::string> &rest) {
    std::vector<std::string> argv = {
        "/usr/bin/arecord", "-q", "-D",    "default", "-t", "raw", "-f",
        "S16_LE",           "-r", "16000", "-c",      "1"};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
}
