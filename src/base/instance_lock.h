// The one-run lock: a user's runs go one at a time, and a second start
// reaches the run that holds the lock.
//
// Two runs would share the fixed audio and result files and the status file.
// The lock is a file that only its user can open: in the user's own runtime
// folder ($XDG_RUNTIME_DIR), or else a file of theirs in /tmp. Nobody else
// can take it; runs of different users are kept apart by the refusal of
// another user's files in /tmp.
#pragma once

#include "base/scratch_file.h"

#include <string>
#include <sys/types.h>
#include <utility>

class InstanceLock {
  public:
    InstanceLock() = default;
    InstanceLock(UniqueFd dir, std::string name, UniqueFd file, pid_t holder)
        : dir_(std::move(dir)), name_(std::move(name)), file_(std::move(file)), holder_(holder) {}
    // Held: the lock file goes with the run.
    ~InstanceLock();
    InstanceLock(InstanceLock &&) = default;
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    InstanceLock &operator=(InstanceLock &&) = delete;

    // True when another run holds the lock.
    bool busy() const { return holder_ > 0; }
    // The process that holds it, when busy.
    pid_t holder() const { return holder_; }
    int fd() const { return file_.get(); }

  private:
    UniqueFd dir_;
    std::string name_;
    UniqueFd file_;
    pid_t holder_ = 0;
};

// Takes the user's run lock. Where no lock file can be had (another user's
// file in its place in /tmp) the run goes on unlocked.
InstanceLock lock_instance();

// Asks the run that holds `lock` what a second start asks (install_stop_handler
// must have run in both): one of SecondStartAnswer, 0 when that run has ended
// meanwhile, -1 when it did not answer within half a second.
int ask_lock_holder(const InstanceLock &lock);
