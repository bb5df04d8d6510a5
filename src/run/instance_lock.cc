#include "run/instance_lock.h"

#include "run/feedback.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

InstanceLock lock_instance() {
    mkdir(data_dir, 0755);
    UniqueFd dir(open(data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return InstanceLock(UniqueFd(), false);
    }
    if (flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
        return InstanceLock(UniqueFd(), errno == EWOULDBLOCK);
    }
    return InstanceLock(std::move(dir), false);
}
