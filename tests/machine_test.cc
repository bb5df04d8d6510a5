// Nothing of the machine's reaches a run. The test gives itself a mount
// namespace, in which the sandbox's runs then start, and in it makes the
// machine look like a desktop where the program once ran as root: a
// root-owned status file in /usr/share/extras/tovu, and an ALSA
// configuration layer in /etc/alsa/conf.d that breaks every ALSA client
// which loads it (as a stray hook could: PulseAudio's load libpulse into each
// client, which then writes to standard error and into /tmp). An ordinary
// user's run must go as on a bare machine, and as in a container, whose
// /usr/share is an overlay already.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

using namespace sandbox;

namespace {

constexpr uid_t user = 1238;

void expect_machine_unseen(bool share_is_overlay) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_TRUE(std::filesystem::is_directory("/etc/alsa/conf.d"));
    Sandbox box;
    const std::string machine = box.root() + "/machine";
    if (share_is_overlay && !is_on_overlay("/usr/share")) {
        // As a container's root file system is: overlayfs then stacks one
        // more layer at most.
        std::filesystem::create_directories(machine + "/container/upper");
        std::filesystem::create_directories(machine + "/container/work");
        const std::string root_layers = "lowerdir=/usr/share,upperdir=" + machine +
                                        "/container/upper,workdir=" + machine + "/container/work";
        ASSERT_EQ(mount("overlay", "/usr/share", "overlay", 0, root_layers.c_str()), 0);
    }
    write_file(machine + "/share/extras/tovu/status", "listening\n", 0644);
    write_file(machine + "/share/extras/planted", "");
    write_file(machine + "/conf.d/50-broken.conf", "pcm.broken {\n");
    box.plant_in_machine_share(machine + "/share");
    ASSERT_EQ(mount((machine + "/conf.d").c_str(), "/etc/alsa/conf.d", nullptr, MS_BIND, nullptr),
              0);

    RunReports reports(box);
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    box.add_program("tovu-processor", "echo \"$@\" >&7\n");
    // The planted files are the machine's for the run: one beside the data
    // directory shows.
    box.before_run("[ -f /usr/share/extras/planted ]");
    ASSERT_EQ(chown(box.data_dir().c_str(), user, user), 0);
    box.run_as(user, user);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.err, "Error"), 0u) << r.err;
    EXPECT_EQ(count_of(r.err, "ALSA"), 0u) << r.err;
    EXPECT_EQ(box.status(), "listening\n");
    EXPECT_EQ(reports.wait_all_ended(), "/tmp/tovu/speech.json\n");
}

TEST(Machine, RootOwnedStatusAndAlsaLayersDoNotReachARun) {
    expect_machine_unseen(false);
}

TEST(Machine, ContainerWhoseShareIsAnOverlayAlready) {
    expect_machine_unseen(true);
}

// The suite in a container whose root file system is an overlay (as in
// `docker run --privileged debian:12`), where the build tree cannot hold the
// upper layer of a run's overlay and /usr/share takes one more layer at
// most: the tests above, and a second run started beside a first one,
// inside a copy of this system under an overlay, in a chroot.
TEST(Machine, SuiteRunsWhereTheRootIsAnOverlay) {
    Sandbox box;
    const std::string tests = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    // Each in a process of its own, as ctest runs them.
    std::string inside = "set -e";
    for (const char *test :
         {"machine_test --gtest_filter=Machine.Root*",
          "machine_test --gtest_filter=Machine.Container*",
          "concurrency_test --gtest_filter=SecondStart.HotkeyPressedTwiceAtOnceCancels"}) {
        inside += "\n" + quote(tests) + "/" + test;
    }
    const Shell r =
        shell("unshare --mount --propagation private /bin/sh -c " +
              quote("set -e\n"
                    "c=" +
                    quote(box.root() + "/container") +
                    "\n"
                    "mkdir -p \"$c\" && mount -t tmpfs tmpfs \"$c\"\n"
                    "mkdir \"$c/upper\" \"$c/work\" \"$c/root\"\n"
                    "mount -t overlay overlay -o "
                    "\"lowerdir=/,upperdir=$c/upper,workdir=$c/work\" \"$c/root\"\n"
                    "for d in proc dev sys run; do mount --rbind /$d \"$c/root/$d\"; done\n"
                    "mount -t tmpfs tmpfs \"$c/root/tmp\"\n"
                    "exec chroot \"$c/root\" /bin/sh -c " +
                    quote(inside)));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_of(r.out, "[  PASSED  ] 1 test."), 3u) << r.out;
}

} // namespace
