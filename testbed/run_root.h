// A private world for one run of the program, shared by the test sandbox and
// the benchmark runner: the run's own /tmp, data directory and ALSA
// configuration, so that nothing on the machine can change what it does.
#pragma once

#include <string>

namespace sandbox {

// Creates the folders of a run under `root`: tmp (mode 1777), share and
// share.work (the upper layer of /usr/share and the overlay's work folder),
// share/extras/tovu (the data directory), home, bin, and the empty folder and
// file that hide the machine's ALSA configuration.
void make_run_root(const std::string &root);

// For a child between fork and exec: moves it into a mount namespace of its
// own in which /tmp is root/tmp, /usr/share is an overlay with root/share
// as upper layer, the data directory is root/share/extras/tovu alone (or,
// when the run root has none, /usr/share/extras does not exist), the
// machine's speech models at the fixed places are hidden, and ALSA sees only
// its own alsa.conf. `machine_share`, when given, is a folder of files that
// the machine's /usr/share is to seem to hold too: a layer of the same
// overlay, between the run's and the machine's, so that a machine whose
// /usr/share is an overlay already (a container's) takes no third layer.
// False, with errno set, when a step fails.
bool enter_run_root(const std::string &root, const std::string &machine_share = "");

// The standard output and standard error of a child, read as they come.
struct ChildOutput {
    int fds[2] = {-1, -1}; // read ends; -1 once at their end
    std::string text[2];   // what came so far: [0] stdout, [1] stderr
};

// Reads what is available within `timeout_ms` (-1: waits); false once both
// pipes are at their end.
bool pump_output(ChildOutput &output, int timeout_ms);

} // namespace sandbox
