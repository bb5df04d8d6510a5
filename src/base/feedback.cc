#include "base/feedback.h"

#include "base/scratch_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Replaces what the open file holds with `word` and a newline, when it is a
// regular file with no other name (and, with `own`, one of the user's own).
void put_word(const UniqueFd &file, const char *word, bool own) {
    struct stat st {};
    if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        (own && st.st_uid != geteuid()) || ftruncate(file.get(), 0) != 0) {
        return;
    }
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s\n", word);
    write_all(file.get(), line, static_cast<size_t>(length));
}

// The user's own status file, in the folder that the session keeps for the
// user alone.
void write_own_status(const char *word) {
    const UniqueFd dir = open_private_runtime_dir();
    if (!dir) {
        return;
    }
    put_word(UniqueFd(openat(dir.get(), own_status_name,
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600)),
             word, true);
}

} // namespace

void write_status(const char *word) {
    char path[256];
    std::snprintf(path, sizeof path, "%s", status_path);
    // Only root may make the folder; for anyone else mkdir would only
    // print its refusal into the run's output.
    if (char *slash = std::strrchr(path, '/'); slash != nullptr && geteuid() == 0) {
        *slash = '\0';
        char command[512];
        std::snprintf(command, sizeof command, "mkdir -p %s", path);
        [[maybe_unused]] int ignored = std::system(command);
    }
    // The status file may be writable by others: by a group that the admin
    // chose, or by everyone where an older install made it so. Never through
    // a link (not even a dangling one, which O_CREAT would follow), never
    // into a file that has another name as well, never blocking on a FIFO,
    // and only into a regular file. Made afresh, it is the writer's alone to
    // change.
    put_word(
        UniqueFd(open(status_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644)),
        word, false);
    write_own_status(word);
}

namespace {

struct CueFiles {
    const char *file;
    const char *command;
};

CueFiles cue_files(Cue cue) {
    switch (cue) {
    case Cue::start:
        return {"/usr/share/extras/tovu/start.wav",
                "paplay /usr/share/extras/tovu/start.wav 2>/dev/null || "
                "aplay /usr/share/extras/tovu/start.wav 2>/dev/null"};
    case Cue::stop:
        return {"/usr/share/extras/tovu/stop.wav",
                "paplay /usr/share/extras/tovu/stop.wav 2>/dev/null || "
                "aplay /usr/share/extras/tovu/stop.wav 2>/dev/null"};
    case Cue::error:
        break;
    }
    return {"/usr/share/extras/tovu/error.wav",
            "paplay /usr/share/extras/tovu/error.wav 2>/dev/null || "
            "aplay /usr/share/extras/tovu/error.wav 2>/dev/null"};
}

} // namespace

CuePlayer start_cue(Cue cue) {
    const CueFiles files = cue_files(cue);
    if (access(files.file, R_OK) != 0) {
        return CuePlayer(-1);
    }
    // The shell's output must follow what the program already printed.
    std::fflush(stdout);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        return CuePlayer(-1);
    }
    // The player starts with no signal blocked, whatever the moment.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char shell[] = "sh";
    char dash_c[] = "-c";
    std::string command = files.command;
    char *argv[] = {shell, dash_c, command.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ) != 0) {
        pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    return CuePlayer(pid);
}

void CuePlayer::wait() {
    if (pid_ <= 0) {
        return;
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void play_cue(Cue cue) {
    const CueFiles files = cue_files(cue);
    if (access(files.file, R_OK) != 0) {
        return;
    }
    // The shell's output must follow what the program already printed.
    std::fflush(stdout);
    [[maybe_unused]] int ignored = std::system(files.command);
}
