#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

Process::Process(Child child) : pid_(child.pid), output_(std::move(child.output)) {
    if (pid_ < 0) {
        fail("cannot start the program: " + child.error);
    }
}

Process::Process(Process &&other) noexcept : pid_(other.pid_), output_(std::move(other.output_)) {
    other.pid_ = -1;
    other.output_.fds[0] = other.output_.fds[1] = -1;
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (const int fd : output_.fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool Process::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.text[0].find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || output_.fds[0] < 0) {
            return false;
        }
        pump_output(output_, static_cast<int>(left.count()));
    }
    return true;
}

void Process::interrupt() {
    kill(pid_, SIGINT);
}

void Process::close_stdout() {
    if (output_.fds[0] >= 0) {
        close(output_.fds[0]);
        output_.fds[0] = -1;
    }
}

Result Process::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Result result;
    while (output_.fds[0] >= 0 || output_.fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            fail("the program did not end within " + std::to_string(timeout.count()) +
                 " ms\nstdout:\n" + output_.text[0] + "\nstderr:\n" + output_.text[1]);
            kill(pid_, SIGKILL);
            break;
        }
        pump_output(output_, static_cast<int>(left.count()));
    }
    if (pid_ > 0) {
        const Ended ended = reap(pid_);
        result.exit_status = ended.exit_status;
        result.signal = ended.signal;
        result.max_rss_kb = ended.max_rss_kb;
        result.cpu_s = ended.cpu_s;
    }
    pid_ = -1;
    result.out = output_.text[0];
    result.err = output_.text[1];
    return result;
}

namespace {

struct Slowdown {
    int time;
    int cpu;
};

Slowdown slowdown() {
    const char *wrapper = std::getenv("TOVU_RUN_WRAPPER");
    if (wrapper != nullptr && *wrapper != '\0') {
        return {30, 30};
    }
#ifdef TOVU_SANITIZED
    return {10, 3};
#else
    return {1, 1};
#endif
}

} // namespace

std::chrono::milliseconds allowed(std::chrono::milliseconds limit) {
    return limit * slowdown().time;
}

double allowed_cpu(double seconds) {
    return seconds * slowdown().cpu;
}

} // namespace sandbox
