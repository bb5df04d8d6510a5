// Micro-benchmarks of the two inner loops of tovu-voice, each next to the
// physical limit it is measured against:
//
//   calculate_rms reads every sample once: its ceiling is the speed at which
//   the machine can stream the same bytes through a plain sum (from L1 for a
//   512-sample chunk, from main memory for 64 MiB).
//
//   strip_activation_prefix copies the JSON text: its ceiling is copying a
//   std::string of the same length.
#include "capture/vad.h"
#include "transcript/clean.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int16_t> noise(size_t count) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::vector<int16_t> samples(count);
    for (int16_t &s : samples) {
        s = static_cast<int16_t>(sample(random));
    }
    return samples;
}

void set_bytes(benchmark::State &state, size_t bytes_per_iteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes_per_iteration));
}

// calculate_rms over `range(0)` samples.
void BM_calculate_rms(benchmark::State &state) {
    const std::vector<int16_t> samples = noise(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(samples.data());
        double rms = calculate_rms(samples.data(), samples.size());
        benchmark::DoNotOptimize(rms);
    }
    set_bytes(state, samples.size() * sizeof(int16_t));
}
BENCHMARK(BM_calculate_rms)->Arg(chunk_frames)->Arg(32 << 20);

// The ceiling: a plain sum of the same bytes, read as 64-bit words.
void BM_read_sum(benchmark::State &state) {
    const std::vector<int16_t> samples = noise(static_cast<size_t>(state.range(0)));
    const auto *words = reinterpret_cast<const uint64_t *>(samples.data());
    const size_t count = samples.size() * sizeof(int16_t) / sizeof(uint64_t);
    for (auto _ : state) {
        benchmark::DoNotOptimize(words);
        uint64_t sum = 0;
        for (size_t i = 0; i < count; ++i) {
            sum += words[i];
        }
        benchmark::DoNotOptimize(sum);
    }
    set_bytes(state, samples.size() * sizeof(int16_t));
}
BENCHMARK(BM_read_sum)->Arg(chunk_frames)->Arg(32 << 20);

const std::string with_prefix = "{\n  \"text\" : \"hey tovu open the browser\"\n}";
const std::string without_prefix = "{\n  \"text\" : \"open the browser and play some music\"\n}";

std::string long_result() {
    std::string text;
    while (text.size() < 4000) {
        text += "open the browser and play some music ";
    }
    return "{\n  \"text\" : \"hey tovu, " + text + "\"\n}";
}

void BM_strip_activation_prefix(benchmark::State &state, const std::string &json) {
    for (auto _ : state) {
        std::string cleaned = strip_activation_prefix(json);
        benchmark::DoNotOptimize(cleaned.data());
    }
    set_bytes(state, json.size());
}
BENCHMARK_CAPTURE(BM_strip_activation_prefix, prefixed, with_prefix);
BENCHMARK_CAPTURE(BM_strip_activation_prefix, unprefixed, without_prefix);
BENCHMARK_CAPTURE(BM_strip_activation_prefix, prefixed_4k, long_result());

// The ceiling: one copy of the same text.
void BM_copy_string(benchmark::State &state, const std::string &json) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(json.data());
        std::string copy(json);
        benchmark::DoNotOptimize(copy.data());
    }
    set_bytes(state, json.size());
}
BENCHMARK_CAPTURE(BM_copy_string, prefixed, with_prefix);
BENCHMARK_CAPTURE(BM_copy_string, prefixed_4k, long_result());

} // namespace

BENCHMARK_MAIN();
