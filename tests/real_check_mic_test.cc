// tovu-voice-check-mic --adjust against a real sound server on each route:
// a request 25 dB below the fixtures' level, and a request under steady
// noise above the speech threshold. The check sets the server's input
// volume, and tovu-voice then hands the same request on. Each listen is
// started by the line that announces it; no window is timed here.
#include "sandbox.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>

using namespace sandbox;
using sound::Kind;

namespace {

struct Case {
    const char *name;
    const char *fixture;
    const char *verdict;
    bool raises;
    const char *before; // how tovu-voice ends on the request before the change
    int percent;        // the input volume to begin with
};

const Case cases[] = {
    {"Quiet", "quiet_speech.raw", "Verdict: too quiet", true,
     " [timeout - no speech detected in the first 3 seconds]\n", 100},
    {"Noisy", "noisy_speech.raw", "Verdict: too noisy", false, ".Processing... ", 100},
    // Heard, but too quiet at the upper limit: nothing changes, both exit 0.
    {"AtTheLimit", "faint_tone.raw", "Verdict: too quiet", true, " [silence detected]\n", 150},
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class RealCheckMic : public ::testing::TestWithParam<std::tuple<Kind, Case>> {};

// The percentage of "mic" as pactl tells it.
int mic_percent(const sound::Server &server) {
    std::string out;
    server.client({"pactl", "get-source-volume", "mic"}, &out);
    const size_t slash = out.find(" / ");
    return slash == std::string::npos ? -1 : std::atoi(out.c_str() + slash + 3);
}

TEST_P(RealCheckMic, AdjustThenTovuVoiceHears) {
    const auto &[kind, row] = GetParam();
    Sandbox box;
    RunReports reports(box);
    box.install_model("model", "extras/tovu/model");
    box.add_program("tovu-processor", "echo \"$@\" >&7\n");
    sound::Server server(kind, box.root() + "/server", pipewire_alsa_plugin());
    ASSERT_TRUE(server.ready()) << server.error();
    box.use_sound_server(server);
    server.client({"pactl", "set-source-volume", "mic", std::to_string(row.percent) + "%"});
    ASSERT_EQ(mic_percent(server), row.percent);
    const bool at_limit = row.percent == 150;

    // Before: the request times out, runs into the 10 s cap, or is heard.
    Process before = box.start();
    ASSERT_TRUE(before.wait_for_output("Listening... "));
    server.play(fixture(row.fixture));
    const Result b = before.finish();
    EXPECT_NE(b.out.find(row.before), std::string::npos) << b.out;

    if (row.raises) {
        // Without --adjust and off a terminal, the check changes nothing.
        box.set_command(quote(check_mic_program()));
        Process plain = box.start();
        ASSERT_TRUE(plain.wait_for_output("Listening for up to 8 s...\n"));
        server.play(fixture(row.fixture));
        const Result r = plain.finish();
        EXPECT_EQ(r.exit_status, at_limit ? 0 : 1) << r.out << r.err;
        EXPECT_NE(r.out.find(row.verdict), std::string::npos) << r.out;
        EXPECT_EQ(mic_percent(server), row.percent);
        EXPECT_EQ(r.out.find("--adjust makes that change") != std::string::npos, !at_limit);
    }

    box.set_command(quote(check_mic_program()) + " --adjust");
    Process check = box.start();
    ASSERT_TRUE(check.wait_for_output("Listening for up to 8 s...\n"));
    server.play(fixture(row.fixture));
    if (!at_limit) {
        ASSERT_TRUE(check.wait_for_output("Listening again for up to 8 s...\n"));
        server.play(fixture(row.fixture));
    }
    const Result r = check.finish();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(row.verdict), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("To undo: pactl set-source-volume 'mic' 65536\n") != std::string::npos,
              !at_limit)
        << r.out;
    const int percent = mic_percent(server);
    EXPECT_TRUE(row.raises ? percent > 100 && percent <= 150 : percent < 100) << percent;

    box.set_command("");
    Process voice = box.start();
    ASSERT_TRUE(voice.wait_for_output("Listening... "));
    server.play(fixture(row.fixture));
    const Result v = voice.finish();
    EXPECT_EQ(v.exit_status, 0) << v.out << v.err;
    EXPECT_NE(v.out.find(" [silence detected]\n"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("Result saved in /tmp/tovu/speech.json\n"), std::string::npos) << v.out;
    // The capped run before the change may have handed its noise on too.
    EXPECT_NE(reports.wait_all_ended().find("/tmp/tovu/speech.json\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealCheckMic,
                         ::testing::Combine(::testing::Values(Kind::pulseaudio, Kind::pipewire,
                                                              Kind::pipewire_alsa),
                                            ::testing::ValuesIn(cases)),
                         [](const auto &info) {
                             return sound::route_name(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

} // namespace
