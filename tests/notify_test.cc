// Why a run failed, for a user without a terminal: desktop notifications
// through a session bus of the test's own and the testbed's notification
// service.
#include "base/scratch_file.h"
#include "capture_device.h"
#include "sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace sandbox;
using namespace std::chrono_literals;

namespace {

// The notifications that a run of `box` shows on a session bus with a
// notification service ("summary | body" lines), and what it printed.
Result notified(Sandbox &box, std::string &shown) {
    // The bus's socket is in the runs' /tmp, where its path is short enough.
    Process bus = box.start_other({"dbus-daemon", "--session", "--nofork", "--print-address",
                                   "--address=unix:path=/tmp/bus"});
    EXPECT_TRUE(bus.wait_for_output("unix:"));
    box.set_env("DBUS_SESSION_BUS_ADDRESS", "unix:path=/tmp/bus");
    Process service = box.start_other({TOVU_NOTIFICATION_SERVICE});
    EXPECT_TRUE(service.wait_for_output("ready\n"));
    const Result r = box.run();
    // What the run sent comes before the answer to a closing request.
    box.start_other({"dbus-send", "--session", "--print-reply",
                     "--dest=org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                     "org.freedesktop.Notifications.CloseNotification", "uint32:0"})
        .finish();
    EXPECT_TRUE(service.wait_for_output("closed\n"));
    service.interrupt();
    shown = service.finish().out;
    return r;
}

struct Ending {
    const char *name;
    const char *model; // installed as the run's model, when set
    const char *audio; // the microphone's fixture or .asoundrc; none when null
    bool on_terminal;
    int exit_status;
    const char *shown; // the summary, or null for none
};

const char *const stereo_only =
    "pcm.!default { type multi slaves.a { pcm { type null } channels 2 } bindings.0 { slave a "
    "channel 0 } bindings.1 { slave a channel 1 } }";

// The notification's summary; its body gives the reason and the next step.
const Ending endings[] = {
    {"NothingHeard", "model", "silence.raw", false, 1, "Nothing heard"},
    {"NothingHeardOnATerminal", "model", "silence.raw", true, 1, nullptr},
    {"NoMicrophone", "model", nullptr, false, 1, "No microphone"},
    {"StereoOnly", "model", stereo_only, false, 1, "Microphone format not supported"},
    {"OnlyTheWakePhrase", "model_prefix_only", "speech.raw", false, 1,
     "Only the wake phrase was heard"},
    {"NoModel", nullptr, nullptr, false, 1, "No speech model"},
    {"RequestHandedOn", "model", "speech.raw", false, 0, nullptr},
};

void PrintTo(const Ending &ending, std::ostream *out) {
    *out << ending.name;
}

class Notification : public ::testing::TestWithParam<Ending> {};

// Only a failure without a terminal is told; the exit status stays.
TEST_P(Notification, SaysWhyARunFailed) {
    const Ending &ending = GetParam();
    Sandbox box;
    if (ending.model != nullptr) {
        box.install_model(ending.model, "extras/tovu/model");
    }
    box.use_asoundrc(ending.audio == nullptr  ? no_device
                     : ending.audio[0] == 'p' ? ending.audio
                                              : file_device(fixture(ending.audio)));
    if (ending.on_terminal) {
        box.set_command("script -qec " + quote(quote(program())) + " /dev/null");
    }
    box.add_program("arecord", "exit 1\n");
    box.add_program("tovu-processor", "exit 0\n");
    std::string shown;
    EXPECT_EQ(notified(box, shown).exit_status, ending.exit_status);
    EXPECT_THAT(shown,
                ::testing::MatchesRegex(ending.shown ? "ready\n" + std::string(ending.shown) +
                                                           " \\| [^\n]+\nclosed\n"
                                                     : "ready\nclosed\n"));
}

INSTANTIATE_TEST_SUITE_P(Endings, Notification, ::testing::ValuesIn(endings),
                         [](const auto &info) { return std::string(info.param.name); });

// A bus that lets the run in but never answers holds it up by the
// notification's longest wait only.
TEST(SilentBus, CostsTheRunUnderHalfASecond) {
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
    std::cout << "[ FIGURE   ] a bus that never answers costs the run " << cost / 1ms << " ms\n";
    EXPECT_LT(cost, allowed(500ms));
    pollfd knocked{mute.get(), POLLIN, 0}; // the run did connect
    EXPECT_EQ(poll(&knocked, 1, 0), 1);
}

} // namespace
