// The one-run lock: a second run must not share the fixed files of the first.
//
// Two runs would share the fixed audio and result files and the status file.
#pragma once

#include "base/scratch_file.h"

#include <utility>

class InstanceLock {
  public:
    InstanceLock(UniqueFd fd, bool busy) : fd_(std::move(fd)), busy_(busy) {}
    // True when another run holds the lock.
    bool busy() const { return busy_; }

  private:
    UniqueFd fd_;
    bool busy_;
};

// Takes the run lock on the shared data directory (created when missing and
// allowed). Without that directory there is nothing to lock and the run goes
// on unlocked.
InstanceLock lock_instance();
