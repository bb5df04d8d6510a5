#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

} // namespace

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

Process::Process(pid_t pid, int out_fd, int err_fd) : pid_(pid), out_fd_(out_fd), err_fd_(err_fd) {}

Process::Process(Process &&other) noexcept
    : pid_(other.pid_), out_fd_(other.out_fd_), err_fd_(other.err_fd_), out_(std::move(other.out_)),
      err_(std::move(other.err_)) {
    other.pid_ = -1;
    other.out_fd_ = other.err_fd_ = -1;
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
    }
    if (err_fd_ >= 0) {
        close(err_fd_);
    }
}

// Reads whatever is available within `timeout_ms`; false once both pipes
// are at their end.
bool Process::pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return false;
    }
    if (poll(fds, 2, timeout_ms) <= 0) {
        return true;
    }
    int *fd_refs[2] = {&out_fd_, &err_fd_};
    std::string *bufs[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            bufs[i]->append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(*fd_refs[i]);
            *fd_refs[i] = -1;
        }
    }
    return true;
}

bool Process::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_fd_ < 0) {
            return false;
        }
        pump(static_cast<int>(left.count()));
    }
    return true;
}

void Process::interrupt() {
    kill(pid_, SIGINT);
}

Result Process::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Result result;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "the program did not end within " << timeout.count()
                          << " ms\nstdout:\n"
                          << out_ << "\nstderr:\n"
                          << err_;
            kill(pid_, SIGKILL);
            break;
        }
        pump(static_cast<int>(left.count()));
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
    result.out = out_;
    result.err = err_;
    return result;
}

// ---- Sandbox --------------------------------------------------------------

Sandbox::Sandbox() {
    const std::string work = env_or("TOVU_TEST_WORK", TOVU_TEST_WORK_DEFAULT);
    root_ = work + "/" + test_name() + "-" + std::to_string(getpid());
    fs::remove_all(root_);
    for (const char *dir : {"home", "bin", "tmp", "share", "share.work", "empty"}) {
        fs::create_directories(root_ + "/" + dir);
    }
    // Always there, so that it can hide the machine's (see launch()).
    fs::create_directories(data_dir());
    write_file(root_ + "/empty.conf", "");
    chmod(tmp().c_str(), 01777);
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

void Sandbox::before_run(const std::string &shell) {
    setup_ += shell + "\n";
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
        // The machine's own speech models at the fixed places under
        // /usr/share must not show through the overlay: a whiteout (a 0/0
        // character device in its upper layer) hides each one that the test
        // has not put there itself.
        script += "for m in vosk-model-en-us-0.22 vosk-model-small-en-us-0.15 vosk/model; do\n"
                  "  u=" +
                  quote(share()) +
                  "/$m\n"
                  "  if { [ -e /usr/share/$m ] || [ -L /usr/share/$m ]; } && "
                  "[ ! -e \"$u\" ] && [ ! -L \"$u\" ]; then\n"
                  "    mkdir -p \"$(dirname \"$u\")\"; mknod \"$u\" c 0 0\n  fi\ndone\n";
        script += "mount -t overlay overlay -o lowerdir=/usr/share,upperdir=" + share() +
                  ",workdir=" + root_ + "/share.work /usr/share\n";
        // The data directory is the sandbox's alone: in the overlay the
        // machine's own /usr/share/extras/tovu (a root-owned status file left
        // by a run as root, installed cues or model) would show through.
        script += "mount --bind " + quote(data_dir()) + " /usr/share/extras/tovu\n";
        // No ALSA configuration of the machine's but alsa-lib's own
        // alsa.conf, which belongs with the installed library and defines the
        // devices the tests use (null, file, hw): every layer that the
        // machine's packages and administrators add, such as the hooks of
        // pulseaudio and libasound2-plugins that load libpulse into every ALSA
        // client, is hidden behind an empty directory or file. That keeps
        // working whatever alsa-lib's own file holds, where a private
        // ALSA_CONFIG_PATH would have to copy and track it. Plugin types that
        // a test's .asoundrc names (such as `type pulse`) still load from
        // alsa-lib's plugin directory by themselves.
        const std::string empty = quote(root_ + "/empty");
        const std::string empty_file = quote(root_ + "/empty.conf");
        script += "for d in /etc/alsa/conf.d /usr/etc/alsa/conf.d /var/lib/alsa/conf.d "
                  "/usr/share/alsa/alsa.conf.d; do\n"
                  "  if [ -d \"$d\" ]; then mount --bind " +
                  empty + " \"$d\"; fi\ndone\n";
        script += "for f in /etc/asound.conf /usr/etc/asound.conf; do\n"
                  "  if [ -e \"$f\" ]; then mount --bind " +
                  empty_file + " \"$f\"; fi\ndone\n";
        script += "mount --bind " + quote(tmp()) + " /tmp\n";
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
    script += " " + env_or("TOVU_RUN_WRAPPER", "") + " " + quote(program()) + "\n";

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
            execlp("nsenter", "nsenter", "--mount", "--target", target.c_str(), "/bin/sh", "-c",
                   script.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        execlp("unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
               script.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return Process(pid, out[0], err[0]);
}

Result Sandbox::run(std::chrono::milliseconds timeout) const {
    return start().finish(timeout);
}

} // namespace sandbox
