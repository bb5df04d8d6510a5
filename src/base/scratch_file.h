// Files kept under fixed names in /tmp, safe from what other users plant there.
//
// Another user may have planted a link or a file of their own in a
// world-writable directory such as /tmp; these helpers never write through a
// link and never touch a file that does not belong to the user running the
// program.
#pragma once

#include <cstddef>
#include <unistd.h>

// Owns a file descriptor (or -1) and closes it when the scope ends.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            UniqueFd old(fd_);
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Writes all `size` bytes, retrying after interruptions and short writes.
// Safe in a signal handler. False on any failure.
bool write_all(int fd, const void *data, size_t size);

// Creates `path` afresh (mode 0600) for writing and returns its descriptor,
// or -1. A leftover regular file of our own is replaced; a link, a file of
// another user or anything else at the path makes it fail.
int create_scratch_file(const char *path);

// Why create_scratch_file(path) failed, to follow the path in a message:
// that something of another user's is there, or "".
const char *scratch_file_obstacle(const char *path);

// Opens an existing regular file of our own for reading without following a
// link; -1 when the path is anything else.
int open_own_file(const char *path);

// True when `path` is a regular file (not a link) owned by the caller.
bool is_own_file(const char *path);

// Deletes `path` when it is a regular file of our own; anything else there
// is left alone.
void remove_scratch_file(const char *path);

// The session's folder of the user's alone, $XDG_RUNTIME_DIR, opened: an
// absolute path to a folder of the user's own that nobody else may enter
// (mode 0700, as the session makes it), not a link to one. Nothing that
// another user made can then be in it. Not open when there is no such folder.
UniqueFd open_private_runtime_dir();

// Deletes the scratch file when the scope ends.
class ScratchFileGuard {
  public:
    explicit ScratchFileGuard(const char *path) : path_(path) {}
    ~ScratchFileGuard() { remove_scratch_file(path_); }
    ScratchFileGuard(const ScratchFileGuard &) = delete;
    ScratchFileGuard &operator=(const ScratchFileGuard &) = delete;

  private:
    const char *path_;
};
