// The hotkey, against a real sound server of each test's own on the three
// routes: the program's own start cue, then a request that begins with it or
// a little after it; and a second start while the first run records, or
// before anybody has spoken. The cue plays into "speakers" (through the real
// paplay on PipeWire; on PulseAudio, whose null sink keeps a player for
// seconds, a player that takes the clip's length as a sound card would), and
// the request into "room", from the same instant. What the capture kept is
// what the recognizer is handed, which the stand-in recognizer writes out.
#include "sandbox.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>

using namespace sandbox;
using sound::Kind;

namespace {

enum class Act { request, second_start_in_speech, second_start_before_speech };

struct Row {
    const char *name;
    Act act;
    int request_after_ms; // after the start cue began
    double most_lost_s;   // of the request's start
};

// A request that begins with the cue: the cue (0.12 s), the player's end and
// the device's start come before the first sample kept. One that begins
// 250 ms later loses nothing; a millisecond is the measure's resolution.
const Row rows[] = {
    {"RequestWithTheCue", Act::request, 0, 0.25},
    {"RequestAfterTheCue", Act::request, 250, 0.001},
    {"SecondStartInSpeech", Act::second_start_in_speech, 0, 0},
    {"SecondStartBeforeSpeech", Act::second_start_before_speech, 0, 0},
};

void PrintTo(const Row &row, std::ostream *os) {
    *os << row.name;
}

constexpr int rate = 16000;
constexpr double tone_s = 0.6;

// `after_ms` of silence, a loud 440 Hz tone of tone_s, then two seconds of
// silence: the capture ends by silence.
std::string request(int after_ms) {
    std::string bytes;
    const int silent = after_ms * rate / 1000;
    const int loud = static_cast<int>(tone_s * rate);
    for (int i = 0; i < silent + loud + 2 * rate; ++i) {
        const bool on = i >= silent && i < silent + loud;
        const auto s =
            static_cast<int16_t>(on ? 10000 * std::sin(2 * M_PI * 440 * (i - silent) / rate) : 0);
        bytes.append(reinterpret_cast<const char *>(&s), 2);
    }
    return bytes;
}

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
    return first < 0 ? tone_s : tone_s - static_cast<double>(last - first + 1) / rate;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
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
    const std::string audio = box.root() + "/request.raw";
    write_file(audio, request(row.request_after_ms));
    const std::string play_request = row.act == Act::request
                                         ? "pacat -p -d room --raw --format=s16le --rate=16000 "
                                           "--channels=1 " +
                                               quote(audio) + " &\n"
                                         : "";
    box.add_program("paplay", "case \"$1\" in */start.wav) " + play_request + ";; esac\n" +
                                  (kind == Kind::pulseaudio ? "exec sleep 0.16\n"
                                                            : "exec /usr/bin/paplay \"$@\"\n"));
    box.use_asoundrc(server->client_asoundrc());
    box.set_env("XDG_RUNTIME_DIR", server->runtime_dir());
    box.set_env("PIPEWIRE_RUNTIME_DIR", server->runtime_dir());
    box.set_env("PULSE_SINK", "speakers");

    Process run = box.start();
    ASSERT_TRUE(run.wait_for_output("Listening... "));
    if (row.act == Act::second_start_in_speech) {
        server->play(fixture("long_speech.raw"));
        ASSERT_TRUE(run.wait_for_output("Listening... ."));
    }
    if (row.act != Act::request) {
        const auto pressed = std::chrono::steady_clock::now();
        const Result second = box.start_beside(run.pid()).finish();
        const double took = seconds_since(pressed);
        EXPECT_EQ(second.exit_status, 0) << second.out << second.err;
        EXPECT_LT(took, allowed(std::chrono::milliseconds(500)).count() / 1000.0);
        if (row.act == Act::second_start_in_speech) {
            // Ended within a period or two of the press, not by silence.
            EXPECT_TRUE(run.wait_for_output("[ended: tovu-voice was started again]\n"));
            EXPECT_LT(seconds_since(pressed),
                      allowed(std::chrono::milliseconds(500)).count() / 1000.0);
        }
        std::cout << "[ FIGURE   ] the second start took " << took << " s\n";
    }
    const Result r = run.finish(std::chrono::seconds(30));
    const std::string processed = reports.wait_all_ended();
    if (row.act == Act::second_start_before_speech) {
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(processed, "");
        EXPECT_EQ(box.status(), "ready\n");
        EXPECT_FALSE(exists(box.tmp("stt_audio.raw")));
        return;
    }
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(processed, "/tmp/tovu/speech.json\n");
    if (row.act == Act::request) {
        const double lost = lost_of_tone(box.fake_vosk_samples());
        std::cout << "[ FIGURE   ] a request " << row.request_after_ms
                  << " ms after the cue began lost its first " << lost * 1000 << " ms\n";
        EXPECT_LE(lost, row.most_lost_s);
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
