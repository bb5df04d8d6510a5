#include "base/instance_lock.h"

#include "base/feedback.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

// Creates the data directory and whatever is missing above it, as the status
// writer's "mkdir -p" would; a fresh system may not even have the parent.
void make_data_dir() {
    const std::string path = data_dir;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

} // namespace

InstanceLock lock_instance() {
    make_data_dir();
    UniqueFd dir(open(data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return InstanceLock(UniqueFd(), false);
    }
    if (flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
        return InstanceLock(UniqueFd(), errno == EWOULDBLOCK);
    }
    return InstanceLock(std::move(dir), false);
}
