// Why a run failed, told to a user without a terminal: desktop notifications
// through a private session bus and the testbed's notification service.
#include "base/scratch_file.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <utility>

using namespace sandbox;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

// A session bus of the sandbox's own with the notification service on it,
// given to the runs; both end with the returned processes. Its socket is in
// the runs' /tmp, where its path is short enough for a socket's.
std::pair<Process, Process> start_desktop(Sandbox &box) {
    const std::string address = "unix:path=/tmp/bus";
    Process bus = box.start_other(
        {"dbus-daemon", "--session", "--nofork", "--print-address", "--address=" + address});
    EXPECT_TRUE(bus.wait_for_output("unix:"));
    box.set_env("DBUS_SESSION_BUS_ADDRESS", address);
    Process service = box.start_other({TOVU_NOTIFICATION_SERVICE, box.root() + "/shown"});
    EXPECT_TRUE(service.wait_for_output("ready"));
    return {std::move(bus), std::move(service)};
}

// The notifications shown so far ("summary | body"), then "closed": the
// answer to a closing request sent through the bus after them.
Lines shown(const Sandbox &box) {
    box.start_other({"dbus-send", "--session", "--print-reply",
                     "--dest=org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                     "org.freedesktop.Notifications.CloseNotification", "uint32:0"})
        .finish();
    return read_lines(box.root() + "/shown");
}

void nobody_speaks(Sandbox &box) {
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("silence.raw"));
}

struct Failure {
    const char *name;
    void (*set_up)(Sandbox &);
    std::string shown;
};

const Failure failures[] = {
    {"NothingHeard", nobody_speaks,
     "Nothing heard | No speech in the first 3 seconds. Is the microphone muted or too quiet? "
     "tovu-voice-check-mic shows its level."},
    {"NoMicrophone", [](Sandbox &box) { box.install_model("model", "extras/tovu/model"); },
     "No microphone | The microphone could not be opened. Plug one in, or choose one as the "
     "input in the sound settings; tovu-voice-check-mic tests it."},
    {"StereoOnly",
     [](Sandbox &box) {
         box.install_model("model", "extras/tovu/model");
         box.use_asoundrc("pcm.!default { type multi slaves.a { pcm { type null } channels 2 }"
                          " bindings.0 { slave a channel 0 } bindings.1 { slave a channel 1 } }");
     },
     "Microphone format not supported | The microphone offers only 2 channels, not the 16 kHz "
     "mono sound that tovu-voice takes. Let the system convert it: use the sound server's "
     "\"default\" device, or \"plughw:\" instead of \"hw:\" in ~/.asoundrc."},
    {"OnlyTheWakePhrase",
     [](Sandbox &box) {
         box.install_model("model_prefix_only", "extras/tovu/model");
         box.use_audio(fixture("speech.raw"));
     },
     "Only the wake phrase was heard | Say your request right after the wake phrase, without a "
     "pause."},
    {"NoModel", [](Sandbox &box) { box.add_program("arecord", "exit 1\n"); },
     "No speech model | Without a speech model tovu-voice only records ten seconds and "
     "understands nothing. Install one: sudo tovu-voice-get-model"},
};

class Notified : public ::testing::TestWithParam<Failure> {};

// One notification says why; what the run prints and its exit status are
// those of the same run without a session bus.
TEST_P(Notified, SaysWhyAndChangesNothingElse) {
    Sandbox box;
    GetParam().set_up(box);
    const Result alone = box.run();
    const auto desktop = start_desktop(box);
    const Result r = box.run();
    EXPECT_EQ(alone.exit_status, 1) << alone.out << alone.err;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, alone.out);
    EXPECT_EQ(r.err, alone.err);
    EXPECT_EQ(shown(box), (Lines{GetParam().shown, "closed"}));
}

INSTANTIATE_TEST_SUITE_P(Failures, Notified, ::testing::ValuesIn(failures),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Notification, NoneFromATerminal) {
    Sandbox box;
    nobody_speaks(box);
    box.set_command("script -qec " + quote(program()) + " /dev/null");
    const auto desktop = start_desktop(box);
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("[timeout - no speech detected"), std::string::npos) << r.out;
    EXPECT_EQ(shown(box), Lines{"closed"});
}

TEST(Notification, NoneForARequestHandedOn) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    box.add_program("tovu-processor", "exit 0\n");
    const auto desktop = start_desktop(box);
    EXPECT_EQ(box.run().exit_status, 0);
    EXPECT_EQ(shown(box), Lines{"closed"});
}

// A bus that lets the run in but never answers holds it up by the
// notification's longest wait only.
TEST(Notification, UnansweringBusCostsLessThanHalfASecond) {
    Sandbox box;
    box.install_model("model", "extras/tovu/model");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(box.run().exit_status, 1);
    const auto alone = std::chrono::steady_clock::now() - started;

    const UniqueFd mute(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un where{AF_UNIX, {}};
    box.tmp("mute").copy(where.sun_path, sizeof where.sun_path - 1);
    ASSERT_EQ(bind(mute.get(), reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    ASSERT_EQ(listen(mute.get(), 8), 0);
    box.set_env("DBUS_SESSION_BUS_ADDRESS", "unix:path=/tmp/mute");
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(box.run().exit_status, 1);
    const auto cost = std::chrono::steady_clock::now() - started - alone;
    std::cout << "[ FIGURE   ] an unanswering bus costs the run " << cost / 1ms << " ms\n";
    EXPECT_LT(cost, allowed(500ms));
    pollfd knocked{mute.get(), POLLIN, 0}; // the run did connect
    EXPECT_EQ(poll(&knocked, 1, 0), 1);
}

} // namespace
