#include "run_root.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sandbox {

namespace {

// The fixed model places under /usr/share besides the data directory.
const char *const machine_models[] = {"vosk-model-en-us-0.22", "vosk-model-small-en-us-0.15",
                                      "vosk/model"};

// Every layer of ALSA configuration that the machine's packages and
// administrators add, such as the hooks of pulseaudio and libasound2-plugins
// that load libpulse into every ALSA client.
const char *const alsa_layer_dirs[] = {"/etc/alsa/conf.d", "/usr/etc/alsa/conf.d",
                                       "/var/lib/alsa/conf.d", "/usr/share/alsa/alsa.conf.d"};
const char *const alsa_layer_files[] = {"/etc/asound.conf", "/usr/etc/asound.conf"};

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

bool bind(const std::string &from, const char *to) {
    return mount(from.c_str(), to, nullptr, MS_BIND, nullptr) == 0;
}

} // namespace

void make_run_root(const std::string &root) {
    for (const char *dir : {"home", "bin", "tmp", "share", "share.work", "empty"}) {
        fs::create_directories(root + "/" + dir);
    }
    fs::create_directories(root + "/share/extras/tovu");
    std::ofstream(root + "/empty.conf").close();
    chmod((root + "/tmp").c_str(), 01777);
}

bool enter_run_root(const std::string &root, const std::string &machine_share) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    // A whiteout (a 0/0 character device in the upper layer) hides each
    // model of the machine's that the run has not been given itself.
    for (const char *model : machine_models) {
        const std::string upper = root + "/share/" + model;
        if (exists("/usr/share/" + std::string(model)) && !exists(upper)) {
            std::error_code ignored;
            fs::create_directories(fs::path(upper).parent_path(), ignored);
            if (mknod(upper.c_str(), S_IFCHR, makedev(0, 0)) != 0) {
                return false;
            }
        }
    }
    // Without a data directory of the run's, /usr/share/extras is hidden too.
    const bool with_data_dir = is_dir((root + "/share/extras/tovu").c_str());
    if (!with_data_dir && exists("/usr/share/extras") && !exists(root + "/share/extras") &&
        mknod((root + "/share/extras").c_str(), S_IFCHR, makedev(0, 0)) != 0) {
        return false;
    }
    const std::string lower = machine_share.empty() ? "/usr/share" : machine_share + ":/usr/share";
    const std::string overlay =
        "lowerdir=" + lower + ",upperdir=" + root + "/share,workdir=" + root + "/share.work";
    if (mount("overlay", "/usr/share", "overlay", 0, overlay.c_str()) != 0) {
        return false;
    }
    // The data directory is the run's alone: the machine's own (a root-owned
    // status file left by a run as root, installed cues or a model) would
    // show through the overlay. A run root without one is a fresh machine,
    // on which /usr/share/extras does not exist until a run makes it.
    if (with_data_dir && !bind(root + "/share/extras/tovu", "/usr/share/extras/tovu")) {
        return false;
    }
    // alsa-lib's own alsa.conf stays: it belongs with the installed library
    // and defines the devices the runs use (null, file, hw, and the plugin
    // types such as `pulse` that a run's .asoundrc names). Whatever layers
    // the machine adds are hidden behind an empty folder or file.
    for (const char *dir : alsa_layer_dirs) {
        if (is_dir(dir) && !bind(root + "/empty", dir)) {
            return false;
        }
    }
    for (const char *file : alsa_layer_files) {
        if (is_file(file) && !bind(root + "/empty.conf", file)) {
            return false;
        }
    }
    // With what is mounted below it (a test's small file system).
    return mount((root + "/tmp").c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

bool pump_output(ChildOutput &output, int timeout_ms) {
    if (output.fds[0] < 0 && output.fds[1] < 0) {
        return false;
    }
    pollfd fds[2] = {{output.fds[0], POLLIN, 0}, {output.fds[1], POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) {
        return true;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            output.text[i].append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(output.fds[i]);
            output.fds[i] = -1;
        }
    }
    return true;
}

} // namespace sandbox
