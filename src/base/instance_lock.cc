#include "base/instance_lock.h"

#include "base/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The folder of the lock file: the user's own runtime folder, else /tmp.
UniqueFd open_lock_dir(std::string &name) {
    UniqueFd runtime = open_private_runtime_dir();
    if (runtime) {
        name = "tovu-voice.lock";
        return runtime;
    }
    name = "tovu-voice-" + std::to_string(geteuid()) + ".lock";
    return UniqueFd(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A regular file of the user's own with one name, which nobody else can
// open.
bool is_private_file(int file) {
    struct stat st {};
    return fstat(file, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           st.st_nlink == 1 && (st.st_mode & 077) == 0;
}

// Whether the folder still holds `file` under `name`.
bool is_named(int dir, const std::string &name, int file) {
    struct stat st {};
    struct stat there {};
    return fstat(file, &st) == 0 && fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           there.st_dev == st.st_dev && there.st_ino == st.st_ino;
}

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// The process that holds a lock on the file, 0 when none does.
pid_t lock_holder(int fd) {
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) {
        return 0;
    }
    return lock.l_pid;
}

// Blocks the answer signal for its lifetime, so that it waits to be taken.
class AnswerBlock {
  public:
    AnswerBlock() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, answer_signal);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~AnswerBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    AnswerBlock(const AnswerBlock &) = delete;
    AnswerBlock &operator=(const AnswerBlock &) = delete;

  private:
    sigset_t old_{};
};

constexpr long answer_wait_ms = 500;

} // namespace

InstanceLock lock_instance() {
    std::string name;
    UniqueFd dir = open_lock_dir(name);
    // A run that ends removes the file while it still holds the lock: a
    // lock taken on a file that has gone is taken again on the new one.
    for (int attempt = 0; dir && attempt < 8; ++attempt) {
        UniqueFd file(openat(dir.get(), name.c_str(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!file || !is_private_file(file.get())) {
            break;
        }
        // A record lock, not flock(): the kernel names the process that
        // holds it, and the processes the run starts do not inherit it.
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(file.get(), F_SETLK, &lock) != 0) {
            if (errno != EACCES && errno != EAGAIN) {
                break;
            }
            const pid_t holder = lock_holder(file.get());
            if (holder > 0) {
                return InstanceLock(UniqueFd(), "", std::move(file), holder);
            }
            continue; // it has ended just now
        }
        if (is_named(dir.get(), name, file.get())) {
            return InstanceLock(std::move(dir), name, std::move(file), 0);
        }
    }
    return InstanceLock();
}

InstanceLock::~InstanceLock() {
    if (dir_ && file_ && is_named(dir_.get(), name_, file_.get())) {
        unlinkat(dir_.get(), name_.c_str(), 0);
    }
}

int ask_lock_holder(const InstanceLock &lock) {
    const AnswerBlock block;
    // The holder as a process of its own, not a number that a new process
    // could take over once it has ended: its pidfd, taken while the lock
    // still names it. Where there are no pidfds (kernels before 5.3, or
    // under valgrind), the number, right after the lock named it again.
    const UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, lock.holder(), 0)));
    const bool by_number = !process && errno == ENOSYS;
    if ((!process && !by_number) || lock_holder(lock.fd()) != lock.holder()) {
        return 0;
    }
    const long sent =
        by_number ? kill(lock.holder(), second_start_signal)
                  : syscall(SYS_pidfd_send_signal, process.get(), second_start_signal, nullptr, 0);
    if (sent != 0) {
        return errno == ESRCH ? 0 : -1;
    }
    sigset_t answer;
    sigemptyset(&answer);
    sigaddset(&answer, answer_signal);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += answer_wait_ms * 1000000;
    deadline.tv_sec += deadline.tv_nsec / 1000000000;
    deadline.tv_nsec %= 1000000000;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left_ns =
            (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
        if (left_ns <= 0) {
            return -1;
        }
        const timespec left{left_ns / 1000000000L, left_ns % 1000000000L};
        siginfo_t info{};
        if (sigtimedwait(&answer, &info, &left) == answer_signal && info.si_pid == lock.holder()) {
            return info.si_value.sival_int;
        }
    }
}
