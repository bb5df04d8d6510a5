#include "base/feedback.h"

#include "base/scratch_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
// user alone. Only an absolute path to a folder of the user's own that
// nobody else may enter (as the session makes it, mode 0700), not a link to
// one: nothing that another user made can then be at the file's path.
void write_own_status(const char *word) {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return;
    }
    const UniqueFd dir(open(runtime, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || fstat(dir.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
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
    if (char *slash = std::strrchr(path, '/')) {
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

void play_cue(Cue cue) {
    const CueFiles files = cue_files(cue);
    if (access(files.file, R_OK) != 0) {
        return;
    }
    // The shell's output must follow what the program already printed.
    std::fflush(stdout);
    [[maybe_unused]] int ignored = std::system(files.command);
}
