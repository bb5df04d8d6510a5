// The hotkey against a real sound server of each test's own, on the three
// routes: the program's own start cue and a request (a loud tone) that
// begins with it or 250 ms after it began; a second start while the first
// run records, or before anybody has spoken. The cue plays into "speakers"
// (the real paplay; on PulseAudio, whose null sink keeps a player for
// seconds, a player that takes the clip's length and 40 ms, as PipeWire's
// paplay does), the request into "room", from the same instant. What the
// capture kept is what the stand-in recognizer is handed and writes out.
#include "sandbox.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <tuple>

using namespace sandbox;
using sound::Kind;
using namespace std::chrono_literals;

namespace {

enum class Act { request, second_start_in_speech, second_start_before_speech };

struct Row {
    const char *name;
    Act act;
    double request_after; // seconds after the cue began
};

// The run hears within 250 ms of the cue's start: the cue (0.12 s), its
// player's end and the stream's start. A millisecond is the measure's
// resolution.
constexpr auto hears_within = std::chrono::milliseconds(250);

const Row rows[] = {
    {"RequestWithTheCue", Act::request, 0},
    {"RequestAfterTheCue", Act::request, 0.25},
    {"SecondStartInSpeech", Act::second_start_in_speech, 0},
    {"SecondStartBeforeSpeech", Act::second_start_before_speech, 0},
};

void PrintTo(const Row &row, std::ostream *os) {
    *os << row.name;
}

constexpr double tone_s = 0.6;

// How much of the tone's start the kept samples lack.
double lost_of_tone(const std::string &kept) {
    long first = -1;
    long last = -1;
    for (size_t i = 0; i + 2 <= kept.size(); i += 2) {
        int16_t s = 0;
        std::memcpy(&s, kept.data() + i, 2);
        if (std::abs(s) > 5000) {
            last = static_cast<long>(i / 2);
            first = first < 0 ? last : first;
        }
    }
    return first < 0 ? tone_s : tone_s - static_cast<double>(last - first + 1) / 16000;
}

class Hotkey : public ::testing::TestWithParam<std::tuple<Kind, Row>> {
  protected:
    Sandbox box;
    RunReports reports{box};
    std::optional<sound::Server> server;
};

TEST_P(Hotkey, Run) {
    const auto &[kind, row] = GetParam();
    server.emplace(kind, box.root() + "/server", pipewire_alsa_plugin());
    ASSERT_TRUE(server->ready()) << server->error();
    box.install_model("model", "extras/tovu/model");
    box.use_fake_vosk({{"FAKE_VOSK_RESULT", R"({"text" : "open the browser"})"}});
    box.add_program("tovu-processor", "echo \"$@\" >&7\n");
    for (const char *cue : {"start.wav", "stop.wav", "error.wav"}) {
        write_file(box.data_dir(cue), read_file(own_cues() + "/" + cue));
    }
    const std::string request = box.root() + "/request.raw";
    ASSERT_EQ(
        std::system(("sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw " + quote(request) +
                     " synth 0.6 sine 440 vol 0.3 pad " + std::to_string(row.request_after) + " 2")
                        .c_str()),
        0);
    const std::string play = "pacat -p -d room --raw --format=s16le --rate=16000 --channels=1 " +
                             quote(request) + " &\n";
    box.add_program(
        "paplay",
        "case \"$1\" in */start.wav) " + (row.act == Act::request ? play : "") + ";; esac\n" +
            (kind == Kind::pulseaudio ? "exec sleep 0.16\n" : "exec /usr/bin/paplay \"$@\"\n"));
    box.use_sound_server(*server);
    box.set_env("PULSE_SINK", "speakers");

    Process run = box.start();
    ASSERT_TRUE(run.wait_for_output("Listening... "));
    if (row.act == Act::second_start_in_speech) {
        server->play(fixture("long_speech.raw"));
        ASSERT_TRUE(run.wait_for_output("Listening... ."));
    }
    if (row.act != Act::request) {
        // The second start ends at once; the recording within a period or
        // two of the press, not by silence.
        const auto pressed = std::chrono::steady_clock::now();
        const Result second = box.start_beside(run.pid()).finish();
        EXPECT_LT(std::chrono::steady_clock::now() - pressed, allowed(500ms));
        EXPECT_EQ(second.exit_status, 0) << second.out << second.err;
        if (row.act == Act::second_start_in_speech) {
            EXPECT_TRUE(run.wait_for_output("[ended: tovu-voice was started again]\n"));
            EXPECT_LT(std::chrono::steady_clock::now() - pressed, allowed(500ms));
        }
    }
    const Result r = run.finish(30s);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const bool cancelled = row.act == Act::second_start_before_speech;
    EXPECT_EQ(reports.wait_all_ended(), cancelled ? "" : "/tmp/tovu/speech.json\n");
    EXPECT_EQ(box.status(), cancelled ? "ready\n" : "listening\n");
    if (row.act == Act::request) {
        const double lost = lost_of_tone(box.fake_vosk_samples());
        std::cout << "[ FIGURE   ] a request " << row.request_after
                  << " s after the cue began lost its first " << lost * 1000 << " ms\n";
        const double heard_after = std::chrono::duration<double>(allowed(hears_within)).count();
        EXPECT_LE(lost, std::max(0.0, heard_after - row.request_after) + 0.001);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, Hotkey,
                         ::testing::Combine(::testing::Values(Kind::pulseaudio, Kind::pipewire,
                                                              Kind::pipewire_alsa),
                                            ::testing::ValuesIn(rows)),
                         [](const ::testing::TestParamInfo<Hotkey::ParamType> &info) {
                             return ::testing::PrintToString(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

} // namespace
