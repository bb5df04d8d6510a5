#include "base/feedback.h"

#include "base/scratch_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void write_status(const char *word) {
    char path[256];
    std::snprintf(path, sizeof path, "%s", status_path);
    if (char *slash = std::strrchr(path, '/')) {
        *slash = '\0';
        char command[512];
        std::snprintf(command, sizeof command, "mkdir -p %s", path);
        [[maybe_unused]] int ignored = std::system(command);
    }
    // The installed status file may be writable by every local user. Never
    // through a link (not even a dangling one, which O_CREAT would follow),
    // never into a file that has another name as well, never blocking on a
    // FIFO, and only into a regular file.
    const UniqueFd file(
        open(status_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st {};
    if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        ftruncate(file.get(), 0) != 0) {
        return;
    }
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s\n", word);
    write_all(file.get(), line, static_cast<size_t>(length));
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
