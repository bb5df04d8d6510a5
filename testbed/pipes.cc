#include "sandbox.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sandbox {

namespace {

// Waits until `fd` has something to read or `deadline` has passed, then
// appends what one read() gets to `into` and returns its result. At the
// deadline: -1 with errno ETIMEDOUT.
ssize_t read_some(int fd, std::chrono::steady_clock::time_point deadline, std::string &into) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
        errno = EAGAIN;
        return -1;
    }
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.append(chunk, static_cast<size_t>(n));
    }
    return n;
}

} // namespace

RunReports::RunReports(Sandbox &box) : path_(box.root() + "/reports.fifo") {
    if (mkfifo(path_.c_str(), 0666) != 0) {
        fail(path_ + ": " + std::strerror(errno));
    }
    // Non-blocking: there is no writer until the run starts.
    fd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    box.before_run("exec 7>" + quote(path_));
}

RunReports::~RunReports() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string RunReports::wait_all_ended(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string reports;
    for (;;) {
        const ssize_t n = read_some(fd_, deadline, reports);
        if (n == 0) {
            return reports; // every writer has gone
        }
        if (n < 0 && errno == ETIMEDOUT) {
            fail("a process of the run is still alive; reports so far:\n" + reports);
            return reports;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail("reading " + path_ + ": " + std::strerror(errno));
            return reports;
        }
    }
}

Fifo::Fifo(std::string path) : path_(std::move(path)) {
    mkfifo(path_.c_str(), 0666);
    chmod(path_.c_str(), 0666); // stubs may run as another user
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

Fifo::~Fifo() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string Fifo::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.find('\n') == std::string::npos) {
        if (read_some(fd_, deadline, pending_) < 0 && errno == ETIMEDOUT) {
            return "";
        }
    }
    const size_t end = pending_.find('\n');
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

bool Fifo::write_line(const std::string &line) {
    const std::string text = line + "\n";
    return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

} // namespace sandbox
