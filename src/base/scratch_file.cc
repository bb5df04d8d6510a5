#include "base/scratch_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool is_own_regular(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

} // namespace

bool write_all(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int create_scratch_file(const char *path) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path, flags, 0600);
    if (fd >= 0 || errno != EEXIST) {
        return fd;
    }
    // Something is already there: only a leftover of our own may go.
    if (!is_own_file(path) || unlink(path) != 0) {
        return -1;
    }
    return open(path, flags, 0600);
}

const char *scratch_file_obstacle(const char *path) {
    struct stat st {};
    if (lstat(path, &st) == 0 && st.st_uid != geteuid()) {
        return ": another user's file is in its place (their tovu-voice may be running)";
    }
    return "";
}

int open_own_file(const char *path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !is_own_regular(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool is_own_file(const char *path) {
    struct stat st {};
    return lstat(path, &st) == 0 && is_own_regular(st);
}

void remove_scratch_file(const char *path) {
    if (is_own_file(path)) {
        unlink(path);
    }
}

UniqueFd open_private_runtime_dir() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return UniqueFd();
    }
    UniqueFd dir(open(runtime, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || fstat(dir.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        return UniqueFd();
    }
    return dir;
}
