#include "transcript/handoff.h"

#include "base/feedback.h"
#include "base/scratch_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *result_name = "speech.json";

// Opens the result directory when it is a real directory of our own; /tmp
// is shared, and a directory or link planted there by someone else must not
// receive the user's speech.
UniqueFd open_result_dir() {
    UniqueFd dir(open(result_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || fstat(dir.get(), &st) != 0 || st.st_uid != geteuid()) {
        return UniqueFd();
    }
    return dir;
}

// Writes `json` and a newline to the result file. False when the file could
// not be opened or written completely; a partly written file is removed so
// that nobody takes it for a result.
bool write_result_file(std::string_view json) {
    std::fflush(stdout);
    [[maybe_unused]] int ignored = std::system("mkdir -p /tmp/tovu");
    const UniqueFd dir = open_result_dir();
    if (!dir) {
        return false;
    }
    // Emptied only once it is known to be a file of our own; a FIFO planted
    // there must not keep the open waiting for a reader. The transcript is
    // private to the user, as the recordings are, also when an older file
    // was readable by others.
    UniqueFd file(openat(dir.get(), result_name,
                         O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_nlink != 1 || fchmod(file.get(), 0600) != 0 || ftruncate(file.get(), 0) != 0) {
        return false;
    }
    std::string content(json);
    content.push_back('\n');
    bool ok = write_all(file.get(), content.data(), content.size());
    if (close(file.release()) != 0) {
        ok = false;
    }
    if (!ok) {
        unlinkat(dir.get(), result_name, 0);
    }
    return ok;
}

} // namespace

bool hand_off_result(std::string_view json) {
    if (!write_result_file(json)) {
        std::fprintf(stderr, "Error: Could not write to %s\n", result_path);
        play_cue(Cue::error);
        return false;
    }
    std::printf("Result saved in %s\n", result_path);
    std::fflush(stdout);
    const char *command = access("./tovu-processor", F_OK) == 0
                              ? "./tovu-processor /tmp/tovu/speech.json >/dev/null 2>&1 &"
                              : "tovu-processor /tmp/tovu/speech.json >/dev/null 2>&1 &";
    [[maybe_unused]] int ignored = std::system(command);
    return true;
}

void save_partial_result(std::string_view json) {
    if (write_result_file(json)) {
        std::printf("Partial result saved in %s\n", result_path);
    }
}
