// The voice-activity decisions, without a capture device: the level of a
// chunk, the limits in chunks and what each chunk does to a capture.
#include "capture/vad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

std::vector<int16_t> samples(size_t count, int16_t value) {
    return std::vector<int16_t>(count, value);
}

double rms(const std::vector<int16_t> &s) {
    return calculate_rms(s.data(), s.size());
}

// The smallest level above `level`.
double just_above(double level) {
    return std::nextafter(level, std::numeric_limits<double>::infinity());
}

// ---- level ------------------------------------------------------------------

TEST(CalculateRms, ConstantSamplesGiveTheirMagnitude) {
    EXPECT_EQ(rms(samples(512, 0)), 0.0);
    EXPECT_EQ(rms(samples(512, 500)), 500.0);
    EXPECT_EQ(rms(samples(512, -500)), 500.0);
    EXPECT_EQ(rms(samples(1, -7)), 7.0);
    EXPECT_EQ(rms(samples(3, 250)), 250.0);
}

TEST(CalculateRms, KnownMixes) {
    EXPECT_EQ(rms({3, 4}), std::sqrt(12.5));
    EXPECT_EQ(rms({300, -400}), std::sqrt(125000.0));
    // One loud sample among quiet ones: exactly the speech threshold.
    EXPECT_EQ(rms({1000, 0, 0, 0}), 500.0);
    EXPECT_EQ(rms({-1, 1, -1, 1, -1, 1, -1, 1}), 1.0);
}

TEST(CalculateRms, OnlyTheGivenCountIsMeasured) {
    const std::vector<int16_t> s = {100, 100, 30000, 30000};
    EXPECT_EQ(calculate_rms(s.data(), 2), 100.0);
}

// 512 squares of -32768 add up to 2^39, far beyond 32 bits.
TEST(CalculateRms, ExtremeSamplesDoNotOverflow) {
    EXPECT_EQ(rms(samples(512, -32768)), 32768.0);
    EXPECT_EQ(rms(samples(512, 32767)), 32767.0);
    std::vector<int16_t> both;
    for (int i = 0; i < 256; ++i) {
        both.push_back(-32768);
        both.push_back(32767);
    }
    EXPECT_EQ(rms(both), std::sqrt((32768.0 * 32768.0 + 32767.0 * 32767.0) / 2.0));
}

// ---- limits -----------------------------------------------------------------

TEST(ChunksForDuration, WholeChunksOfTheDuration) {
    EXPECT_EQ(chunks_for_duration(1500), 46);
    EXPECT_EQ(chunks_for_duration(3000), 93);
    EXPECT_EQ(chunks_for_duration(10000), 312);
    EXPECT_EQ(chunks_for_duration(2000), 62);
    EXPECT_EQ(chunks_for_duration(31), 0);
    EXPECT_EQ(chunks_for_duration(32), 1);
}

// 134217 * 16000 still fits in 32 signed bits; it is the longest duration
// a caller may ask for.
TEST(ChunksForDuration, LongestAllowedDurationFits) {
    EXPECT_EQ(chunks_for_duration(134217), 4194);
}

TEST(VadLimits, SilenceAndNoSpeechLimitsDoNotDependOnTheBudget) {
    const VadLimits limits = vad_limits(10000);
    EXPECT_EQ(limits.silence_limit, 46);
    EXPECT_EQ(limits.no_speech_limit, 93);
    EXPECT_EQ(limits.chunk_budget, 312);
    const VadLimits short_limits = vad_limits(2000);
    EXPECT_EQ(short_limits.silence_limit, 46);
    EXPECT_EQ(short_limits.no_speech_limit, 93);
    EXPECT_EQ(short_limits.chunk_budget, 62);
}

// ---- one capture, chunk by chunk --------------------------------------------

constexpr double quiet = 0.0;
constexpr double soft = 300.0;
constexpr double loud = 2000.0;

class VadCapture : public ::testing::Test {
  protected:
    // Feeds one chunk at `level`.
    VadStep hear(double level) { return vad_step(state, limits, level); }

    // Feeds `count` chunks at `level`, expecting none of them to end the
    // capture; false (with a failure) when one did.
    bool hear_without_end(double level, int count) {
        for (int i = 0; i < count; ++i) {
            const VadStep step = hear(level);
            if (step.end != VadEnd::none) {
                ADD_FAILURE() << "capture ended at chunk " << state.chunk_count;
                return false;
            }
        }
        return true;
    }

    VadLimits limits = vad_limits(10000);
    VadState state;
};

TEST_F(VadCapture, SpeechIsAboveFiveHundred) {
    EXPECT_FALSE(hear(500.0).is_speech);
    EXPECT_FALSE(state.speech);
    EXPECT_TRUE(hear(just_above(500.0)).is_speech);
    EXPECT_TRUE(state.speech);
}

TEST_F(VadCapture, BeforeSpeechOnlyChunksAboveTwoHundredFiftyAreKept) {
    EXPECT_FALSE(hear(quiet).store);
    EXPECT_FALSE(hear(250.0).store);
    EXPECT_TRUE(hear(just_above(250.0)).store);
    const VadStep threshold = hear(500.0);
    EXPECT_TRUE(threshold.store);
    EXPECT_FALSE(threshold.is_speech);
}

TEST_F(VadCapture, AfterSpeechEveryChunkIsKept) {
    hear(loud);
    EXPECT_TRUE(hear(quiet).store);
    EXPECT_TRUE(hear(250.0).store);
    EXPECT_TRUE(hear(loud).store);
}

TEST_F(VadCapture, NoSpeechEndsTheCaptureAtTheNinetyThirdChunk) {
    ASSERT_TRUE(hear_without_end(quiet, 92));
    EXPECT_EQ(hear(quiet).end, VadEnd::no_speech_timeout);
    EXPECT_EQ(state.chunk_count, 93);
}

TEST_F(VadCapture, SoftChunksDoNotHoldOffTheTimeout) {
    ASSERT_TRUE(hear_without_end(soft, 92));
    const VadStep last = hear(soft);
    EXPECT_EQ(last.end, VadEnd::no_speech_timeout);
    EXPECT_TRUE(last.store);
}

TEST_F(VadCapture, SpeechInTheNinetyThirdChunkIsInTime) {
    ASSERT_TRUE(hear_without_end(quiet, 92));
    EXPECT_EQ(hear(loud).end, VadEnd::none);
    ASSERT_TRUE(hear_without_end(quiet, 45));
    EXPECT_EQ(hear(quiet).end, VadEnd::silence_after_speech);
}

TEST_F(VadCapture, SilenceEndsTheCaptureAtTheFortySixthQuietChunkAfterSpeech) {
    // Quiet chunks before the speech do not count towards the silence.
    ASSERT_TRUE(hear_without_end(quiet, 50));
    hear(loud);
    ASSERT_TRUE(hear_without_end(500.0, 45));
    const VadStep last = hear(quiet);
    EXPECT_EQ(last.end, VadEnd::silence_after_speech);
    EXPECT_TRUE(last.store);
    EXPECT_EQ(state.chunk_count, 97);
}

TEST_F(VadCapture, SpeechStartsTheQuietRunOver) {
    hear(loud);
    ASSERT_TRUE(hear_without_end(quiet, 45));
    EXPECT_EQ(hear(loud).end, VadEnd::none);
    ASSERT_TRUE(hear_without_end(quiet, 45));
    EXPECT_EQ(hear(quiet).end, VadEnd::silence_after_speech);
}

TEST_F(VadCapture, BudgetEndsSpeechThatNeverPausesLongEnough) {
    for (int i = 0; i < 311; ++i) {
        ASSERT_EQ(hear(i % 2 == 0 ? loud : quiet).end, VadEnd::none) << "chunk " << i + 1;
    }
    EXPECT_EQ(hear(quiet).end, VadEnd::budget_used);
    EXPECT_EQ(state.chunk_count, 312);
}

TEST_F(VadCapture, ShortBudgetEndsTheCaptureBeforeTheTimeout) {
    limits = vad_limits(2000);
    ASSERT_TRUE(hear_without_end(quiet, 61));
    EXPECT_EQ(hear(quiet).end, VadEnd::budget_used);
    EXPECT_FALSE(state.speech);
}

TEST_F(VadCapture, SilenceThatFillsTheBudgetIsReportedAsSilence) {
    limits = vad_limits(2000);
    ASSERT_TRUE(hear_without_end(quiet, 15));
    hear(loud);
    ASSERT_TRUE(hear_without_end(quiet, 45));
    EXPECT_EQ(hear(quiet).end, VadEnd::silence_after_speech);
    EXPECT_EQ(state.chunk_count, 62);
}

TEST_F(VadCapture, TimeoutThatFillsTheBudgetIsReportedAsTimeout) {
    limits = vad_limits(3000);
    ASSERT_TRUE(hear_without_end(quiet, 92));
    EXPECT_EQ(hear(quiet).end, VadEnd::no_speech_timeout);
}

} // namespace
