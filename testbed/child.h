// A program started as a child, in the private world of a run or as it is:
// its output read as it comes, and its end with what it cost. The sandbox of
// the tests and the runs of the benchmarks start every program this way.
#pragma once

#include "run_root.h"

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

struct Spawn {
    std::vector<std::string> argv;
    std::string file; // what to exec: a path, or a name to find on PATH; argv[0] when empty
    // NAME=VALUE each; this process's own environment when not set.
    std::optional<std::vector<std::string>> env;
    std::string run_root;      // when set: entered first (enter_run_root)
    std::string machine_share; // with run_root: what the machine's /usr/share seems to hold too
    std::string cwd;           // when set: the working folder
    // When set: the child's last step before exec.
    std::function<void()> before_exec;
};

struct Child {
    pid_t pid = -1;     // -1 when it could not be started
    std::string error;  // then: why
    ChildOutput output; // the read ends of its standard output and error
};

// Starts `how.argv` with standard input on /dev/null and standard output and
// error on pipes. A child that cannot enter the run's world or its folder
// says so on its standard error and exits 126; one that cannot exec, 127.
Child spawn(const Spawn &how);

struct Ended {
    bool reaped = false;  // false when waiting for it failed
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    long max_rss_kb = 0; // peak resident memory
    double cpu_s = 0;    // user + system time, its waited-for children's included
};

// Waits until the child `pid` has ended.
Ended reap(pid_t pid);

} // namespace sandbox
