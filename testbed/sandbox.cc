#include "sandbox.h"

#include "capture_device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sandbox {

namespace {

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// Without a harness: failures on standard error, counted.
std::atomic<int> failures{0};

void print_failure(const std::string &what) {
    std::fprintf(stderr, "sandbox: %s\n", what.c_str());
    ++failures;
}

std::string run_name() {
    return "run";
}

bool nothing_failed() {
    return failures == 0;
}

Harness harness{print_failure, run_name, nothing_failed};

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

// The check's name as a folder name.
std::string folder_name() {
    std::string name = harness.check_name();
    for (char &c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return name;
}

} // namespace

void set_harness(const Harness &given) {
    harness.fail = given.fail != nullptr ? given.fail : print_failure;
    harness.check_name = given.check_name != nullptr ? given.check_name : run_name;
    harness.check_passed = given.check_passed != nullptr ? given.check_passed : nothing_failed;
}

void fail(const std::string &what) {
    harness.fail(what);
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
std::string own_cues() {
    return env_or("TOVU_CUES", TOVU_CUES_DEFAULT);
}
std::string pipewire_alsa_plugin() {
    return env_or("TOVU_PIPEWIRE_ALSA", TOVU_PIPEWIRE_ALSA_DEFAULT);
}

std::string program() {
    return env_or("TOVU_BINARY", TOVU_BINARY_DEFAULT);
}

std::string check_mic_program() {
    return env_or("TOVU_CHECK_MIC", TOVU_CHECK_MIC_DEFAULT);
}

// The runs as other users (nobody, the tests' own users) must reach the
// program, its libvosk, the fixtures and the sandboxes. Above each of those
// trees, the topmost folder that others may not search (a home of mode 0700)
// becomes an empty tmpfs that they may search, with the trees below it bound
// in at their own paths, in a mount namespace of this process's own: the
// user's folders keep their modes, and nothing else that they hold comes
// within the runs' reach.
void reach_trees() {
    std::map<fs::path, std::vector<fs::path>> closed; // folder: the trees below it
    for (const fs::path tree : {TOVU_SOURCE_TREE, TOVU_BUILD_TREE, TOVU_VOSK_DIR}) {
        fs::path above = "/";
        for (const fs::path &part : tree.parent_path().relative_path()) {
            above /= part;
            struct stat st {};
            if (stat(above.c_str(), &st) == 0 && (st.st_mode & S_IXOTH) == 0) {
                std::vector<fs::path> &trees = closed[above];
                if (std::none_of(trees.begin(), trees.end(), [&](const fs::path &t) {
                        return !tree.lexically_relative(t).string().starts_with("..");
                    })) {
                    trees.push_back(tree);
                }
                break;
            }
        }
    }
    if (closed.empty() || geteuid() != 0) {
        return;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail(std::string("cannot make a mount namespace: ") + std::strerror(errno));
    }
    for (const auto &[folder, trees] : closed) {
        std::vector<int> fds;
        for (const fs::path &tree : trees) {
            fds.push_back(open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0711") != 0) {
            return fail("cannot mount a tmpfs on " + folder.string() + ": " + std::strerror(errno));
        }
        for (size_t i = 0; i < trees.size(); ++i) {
            fs::path at = folder;
            for (const fs::path &part : trees[i].lexically_relative(folder)) {
                at /= part;
                mkdir(at.c_str(), 0711);
                chmod(at.c_str(), 0711);
            }
            const std::string from = "/proc/self/fd/" + std::to_string(fds[i]);
            if (mount(from.c_str(), trees[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                fail("cannot bind " + trees[i].string() + ": " + std::strerror(errno));
            }
            close(fds[i]);
        }
    }
}

// ---- Sandbox --------------------------------------------------------------

Sandbox::Sandbox() {
    const std::string work = work_folder();
    root_ = work + "/" + folder_name() + "-" + std::to_string(getpid());
    fs::remove_all(root_);
    make_run_root(root_);
    // Everyone may reach the sandbox, for runs as another user; the folders
    // above the work folder are not the tests' to change (reach_trees()).
    for (fs::path p = root_; p != fs::path(work).parent_path() && p != p.root_path();
         p = p.parent_path()) {
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
    if (harness.check_passed() && std::getenv("TOVU_KEEP") == nullptr) {
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

void Sandbox::remove_data_dir() {
    fs::remove_all(share("extras"));
}

void Sandbox::use_asoundrc(const std::string &text) {
    write_file(root_ + "/home/.asoundrc", text);
}

void Sandbox::use_sound_server(const sound::Server &server) {
    use_asoundrc(server.client_asoundrc());
    set_env("XDG_RUNTIME_DIR", server.runtime_dir());
    set_env("PIPEWIRE_RUNTIME_DIR", server.runtime_dir());
#ifdef __SANITIZE_ADDRESS__
    if (server.kind() == sound::Kind::pipewire_alsa) {
        // alsa-lib unloads the plugin as a program ends, and what its
        // globals held would then look leaked.
        preload(pipewire_alsa_plugin() + "/libasound_module_pcm_pipewire.so");
    }
#endif
}

void Sandbox::use_audio(const std::string &raw_file) {
    use_asoundrc(file_device(raw_file));
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
            fail("the program stopped reading its audio");
            return;
        }
        const ssize_t n = write(feed_fd_, p, left);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            fail(std::string("cannot feed audio: ") + std::strerror(errno));
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
    use_asoundrc(no_device);
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
    const fs::path path(library);
    for (const auto &[name, value] :
         {std::pair<std::string, std::string>{"LD_PRELOAD", path.filename()},
          {"LD_LIBRARY_PATH", path.parent_path()}}) {
        const auto set = env_.find(name);
        set_env(name, set == env_.end() ? value : set->second + ":" + value);
    }
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

// What the shell runs: tovu-voice, under TOVU_RUN_WRAPPER when one is set,
// or the command set instead.
std::string Sandbox::command() const {
    return command_.empty() ? env_or("TOVU_RUN_WRAPPER", "") + " " + quote(program()) : command_;
}

Process Sandbox::start() const {
    return launch(0, command());
}

Process Sandbox::start_other(const std::vector<std::string> &argv) const {
    std::string line;
    for (const std::string &arg : argv) {
        line += ' ';
        line += quote(arg);
    }
    return launch(0, line);
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
    return launch(neighbour, command());
}

Process Sandbox::launch(pid_t beside, const std::string &command) const {
    std::string script = "set -e\n";
    if (beside == 0) {
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
    script += " " + command + "\n";

    Spawn how;
    if (beside != 0) {
        // --root and --wd: the neighbour's root, should the suite run in a
        // chroot.
        how.argv = {"nsenter", "--mount", "--root", "--wd", "--target", std::to_string(beside),
                    "/bin/sh", "-c",      script};
    } else {
        // The private /tmp, /usr/share, data directory and ALSA
        // configuration are made before the shell starts.
        how.argv = {"sh", "-c", script};
        how.file = "/bin/sh";
        how.run_root = root_;
        how.machine_share = machine_share_;
    }
    return Process(spawn(how));
}

Result Sandbox::run(std::chrono::milliseconds timeout) const {
    return start().finish(timeout);
}

} // namespace sandbox
