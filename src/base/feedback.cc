#include "base/feedback.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    FILE *file = std::fopen(status_path, "w");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%s\n", word);
    std::fclose(file);
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
