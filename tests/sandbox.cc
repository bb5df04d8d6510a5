#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/magic.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sandbox {

namespace {

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string test_name() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("outside-test");
    for (char &c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return name;
}

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

// Where the sandboxes go: under the build tree, unless that is on an overlay
// file system (a container's root), which cannot hold the upper layer of
// another overlay; then in /dev/shm, a tmpfs on every Linux system.
std::string work_folder() {
    if (const char *set = std::getenv("TOVU_TEST_WORK"); set != nullptr && *set != '\0') {
        return set;
    }
    if (!is_on_overlay(fs::path(TOVU_TEST_WORK_DEFAULT).parent_path().string())) {
        return TOVU_TEST_WORK_DEFAULT;
    }
    return "/dev/shm/tovu-test-work";
}

} // namespace

bool is_on_overlay(const std::string &path) {
    struct statfs st {};
    return statfs(path.c_str(), &st) == 0 && st.f_type == OVERLAYFS_SUPER_MAGIC;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string chunks(int16_t level, int count) {
    std::string bytes(static_cast<size_t>(count) * 512 * 2, '\0');
    for (size_t i = 0; i < bytes.size(); i += 2) {
        std::memcpy(&bytes[i], &level, 2);
    }
    return bytes;
}

size_t count_of(const std::string &in, const std::string &text) {
    size_t n = 0;
    for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) {
        ++n;
    }
    return n;
}

RunReports::RunReports(Sandbox &box) : path_(box.root() + "/reports.fifo") {
    if (mkfifo(path_.c_str(), 0666) != 0) {
        ADD_FAILURE() << path_ << ": " << std::strerror(errno);
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
            ADD_FAILURE() << "a process of the run is still alive; reports so far:\n" << reports;
            return reports;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "reading " << path_ << ": " << std::strerror(errno);
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

std::string fixtures() {
    return env_or("TOVU_FIXTURES", TOVU_FIXTURES_DEFAULT);
}
std::string fixture(const std::string &name) {
    return fixtures() + "/" + name;
}
std::string fake_vosk_library() {
    return env_or("TOVU_FAKE_VOSK", TOVU_FAKE_VOSK_DEFAULT);
}
std::string fake_alsa_library() {
    return env_or("TOVU_FAKE_ALSA", TOVU_FAKE_ALSA_DEFAULT);
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string program() {
    return env_or("TOVU_BINARY", TOVU_BINARY_DEFAULT);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode) {
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// ---- Process ------------------------------------------------------------------

Process::Process(pid_t pid, int out_fd, int err_fd) : pid_(pid) {
    output_.fds[0] = out_fd;
    output_.fds[1] = err_fd;
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
            ADD_FAILURE() << "the program did not end within " << timeout.count()
                          << " ms\nstdout:\n"
                          << output_.text[0] << "\nstderr:\n"
                          << output_.text[1];
            kill(pid_, SIGKILL);
            break;
        }
        pump_output(output_, static_cast<int>(left.count()));
    }
    int status = 0;
    rusage usage{};
    wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    result.max_rss_kb = usage.ru_maxrss;
    result.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = output_.text[0];
    result.err = output_.text[1];
    return result;
}

// ---- Sandbox --------------------------------------------------------------

Sandbox::Sandbox() {
    const std::string work = work_folder();
    root_ = work + "/" + test_name() + "-" + std::to_string(getpid());
    fs::remove_all(root_);
    make_run_root(root_);
    // Everyone may reach the sandbox, for runs as another user.
    for (fs::path p = root_; p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (stat(p.c_str(), &st) == 0) {
            chmod(p.c_str(), st.st_mode | 0755);
        }
    }
    cwd_ = root_;
    use_no_device();
}

Sandbox::~Sandbox() {
    close_feed();
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info != nullptr && !info->result()->Failed() && std::getenv("TOVU_KEEP") == nullptr) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

std::string Sandbox::tmp(const std::string &rel) const {
    return root_ + "/tmp" + (rel.empty() ? "" : "/" + rel);
}
std::string Sandbox::share(const std::string &rel) const {
    return root_ + "/share" + (rel.empty() ? "" : "/" + rel);
}
std::string Sandbox::data_dir(const std::string &rel) const {
    return share("extras/tovu") + (rel.empty() ? "" : "/" + rel);
}

void Sandbox::use_asoundrc(const std::string &text) {
    write_file(root_ + "/home/.asoundrc", text);
}

void Sandbox::use_audio(const std::string &raw_file) {
    use_asoundrc("pcm.!default {\n"
                 "  type file\n"
                 "  slave.pcm \"null\"\n"
                 "  file \"/dev/null\"\n"
                 "  infile \"" +
                 raw_file +
                 "\"\n"
                 "  format \"raw\"\n"
                 "}\n");
}

void Sandbox::use_audio_fifo() {
    fifo_ = root_ + "/audio.fifo";
    mkfifo(fifo_.c_str(), 0666);
    // Opened for reading too, so that opening never blocks and writes never
    // fail with EPIPE while the program has not opened its end yet.
    feed_fd_ = open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    use_audio(fifo_);
}

void Sandbox::feed(const std::string &raw_bytes) {
    const char *p = raw_bytes.data();
    size_t left = raw_bytes.size();
    while (left > 0) {
        pollfd pfd{feed_fd_, POLLOUT, 0};
        if (poll(&pfd, 1, 20000) <= 0) {
            ADD_FAILURE() << "the program stopped reading its audio";
            return;
        }
        const ssize_t n = write(feed_fd_, p, left);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            ADD_FAILURE() << "cannot feed audio: " << std::strerror(errno);
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void Sandbox::feed_file(const std::string &raw_file, size_t offset, size_t bytes) {
    feed(read_file(raw_file).substr(offset, bytes));
}

bool Sandbox::wait_until_fed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int pending = 0;
        if (ioctl(feed_fd_, FIONREAD, &pending) != 0 || pending == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        usleep(1000);
    }
}

void Sandbox::close_feed() {
    if (feed_fd_ >= 0) {
        close(feed_fd_);
        feed_fd_ = -1;
    }
}

void Sandbox::use_no_device() {
    use_asoundrc("pcm.!default {\n  type hw\n  card 99\n}\n");
}

void Sandbox::install_model(const std::string &model_name, const std::string &share_rel) {
    fs::create_directories(fs::path(share(share_rel)).parent_path());
    fs::copy(fixture(model_name), share(share_rel), fs::copy_options::recursive);
}

void Sandbox::install_cues() {
    for (const char *cue : {"start.wav", "stop.wav", "error.wav"}) {
        write_file(data_dir(cue), "RIFF");
    }
    const std::string log = root_ + "/cues.log";
    for (const char *player : {"paplay", "aplay"}) {
        add_program(player, std::string("echo \"") + player + " $(basename \"$1\")\" >> " +
                                quote(log) + "\n");
    }
}

std::vector<std::string> Sandbox::cues_played() const {
    return read_lines(root_ + "/cues.log");
}

void Sandbox::preload(const std::string &library) {
    const auto set = env_.find("LD_PRELOAD");
    set_env("LD_PRELOAD", set == env_.end() ? library : set->second + ":" + library);
}

void Sandbox::use_fake_alsa(const std::map<std::string, std::string> &behaviour) {
    preload(fake_alsa_library());
    set_env("FAKE_ALSA_LOG", root_ + "/alsa.log");
    for (const auto &[name, value] : behaviour) {
        set_env(name, value);
    }
}

std::vector<std::string> Sandbox::fake_alsa_calls() const {
    return read_lines(root_ + "/alsa.log");
}

void Sandbox::use_fake_vosk(const std::map<std::string, std::string> &behaviour) {
    preload(fake_vosk_library());
    set_env("FAKE_VOSK_LOG", root_ + "/vosk.log");
    set_env("FAKE_VOSK_SAMPLES", root_ + "/vosk.samples");
    for (const auto &[name, value] : behaviour) {
        set_env(name, value);
    }
}

std::vector<std::string> Sandbox::fake_vosk_calls() const {
    return read_lines(root_ + "/vosk.log");
}

std::string Sandbox::fake_vosk_samples() const {
    return read_file(root_ + "/vosk.samples");
}

void Sandbox::add_program(const std::string &name, const std::string &script) {
    write_file(root_ + "/bin/" + name, "#!/bin/sh\n" + script, 0755);
}

void Sandbox::set_path(const std::string &path) {
    path_ = path;
}

void Sandbox::set_env(const std::string &name, const std::string &value) {
    env_[name] = value;
}

void Sandbox::set_cwd(const std::string &dir) {
    fs::create_directories(dir);
    cwd_ = dir;
}

void Sandbox::run_as(uid_t uid, gid_t gid) {
    uid_ = uid;
    gid_ = gid;
}

void Sandbox::plant_in_machine_share(const std::string &dir) {
    machine_share_ = dir;
}

void Sandbox::before_run(const std::string &shell) {
    setup_ += shell + "\n";
}

void Sandbox::set_command(const std::string &command) {
    command_ = command;
}

std::string Sandbox::status() const {
    return read_file(data_dir("status"));
}

Process Sandbox::start() const {
    return launch(0);
}

Process Sandbox::start_beside(pid_t neighbour) const {
    // nsenter must find the neighbour in a namespace of its own already:
    // the program must never run on the real /tmp and /usr/share.
    const auto own = fs::read_symlink("/proc/self/ns/mnt");
    const std::string theirs = "/proc/" + std::to_string(neighbour) + "/ns/mnt";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::error_code error;
    while (fs::read_symlink(theirs, error) == own && std::chrono::steady_clock::now() < deadline) {
        usleep(1000);
    }
    return launch(neighbour);
}

Process Sandbox::launch(pid_t beside) const {
    std::string script = "set -e\n";
    if (beside == 0) {
        // The private /tmp, /usr/share, data directory and ALSA
        // configuration are made before the shell starts (enter_run_root).
        script += setup_;
    } else {
        // The neighbour may still be mounting; /tmp is mounted last.
        script += "i=0\nuntil [ /tmp -ef " + quote(tmp()) +
                  " ]; do\n  i=$((i + 1)); [ $i -lt 1000 ] || exit 125; sleep 0.01\ndone\n";
    }
    script += "cd " + quote(cwd_) + "\n";
    script += "exec ";
    if (uid_ != 0) {
        script += "setpriv --reuid=" + std::to_string(uid_) + " --regid=" + std::to_string(gid_) +
                  " --clear-groups ";
    }
    script += "env -i HOME=" + quote(root_ + "/home") +
              " PATH=" + quote(path_.empty() ? root_ + "/bin:/usr/local/bin:/usr/bin:/bin" : path_);
    for (const char *pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *value = std::getenv(pass)) {
            script += std::string(" ") + pass + "=" + quote(value);
        }
    }
    for (const auto &[name, value] : env_) {
        script += " " + name + "=" + quote(value);
    }
    script +=
        " " +
        (command_.empty() ? env_or("TOVU_RUN_WRAPPER", "") + " " + quote(program()) : command_) +
        "\n";

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
    }
    const std::string target = std::to_string(beside);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (beside != 0) {
            // --root and --wd: the neighbour's root, should the suite run in
            // a chroot.
            execlp("nsenter", "nsenter", "--mount", "--root", "--wd", "--target", target.c_str(),
                   "/bin/sh", "-c", script.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (!enter_run_root(root_, machine_share_)) {
            std::perror("sandbox: private mount namespace");
            _exit(126);
        }
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return Process(pid, out[0], err[0]);
}

Shell shell(const std::string &script) {
    Shell result;
    FILE *pipe = popen(("exec 2>&1\n" + script).c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        result.out.append(chunk, n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Result Sandbox::run(std::chrono::milliseconds timeout) const {
    return start().finish(timeout);
}

} // namespace sandbox
