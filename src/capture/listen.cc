#include "capture/listen.h"

#include "base/feedback.h"
#include "base/scratch_file.h"
#include "base/state.h"
#include "capture/device.h"
#include "capture/vad.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The raw file as a stream that writes whole blocks of `block`, which must
// outlive it.
UniqueFile open_raw_stream(UniqueFd fd, char *block) {
    UniqueFile file(fdopen(fd.get(), "wb"));
    if (!file) {
        return nullptr;
    }
    fd.release();
    if (setvbuf(file.get(), block, _IOFBF, raw_write_block) != 0) {
        return nullptr;
    }
    return file;
}

void print_flushed(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int capture(const char *path, int max_duration_ms, CuePlayer &start_cue) {
    if (!running) {
        return capture_failed;
    }
    const StopErrorFilter filter;
    CaptureDevice device;
    std::string offered;
    switch (open_capture_device(device, offered)) {
    case DeviceOpen::opened:
        break;
    case DeviceOpen::unavailable:
        return capture_no_device;
    case DeviceOpen::wrong_format:
        report_wrong_format(offered);
        return capture_wrong_format;
    }
    UniqueFd fd(create_scratch_file(path));
    if (!fd) {
        std::fprintf(stderr, "Error: Could not create %s%s\n", path, scratch_file_obstacle(path));
        return capture_failed;
    }
    std::unique_ptr<int16_t[]> buffer(new (std::nothrow) int16_t[chunk_frames]);
    std::unique_ptr<char[]> block(new (std::nothrow) char[raw_write_block]);
    if (!buffer || !block) {
        return capture_failed;
    }
    const UniqueFile file = open_raw_stream(std::move(fd), block.get());
    if (!file) {
        return capture_failed;
    }

    // Everything is ready but the device's stream: it hears from the moment
    // the cue is over, and never the cue itself.
    start_cue.wait();
    if (!running) {
        return capture_failed;
    }
    if (!start_capture_device(device)) {
        return capture_no_device;
    }
    run_phase = phase_waiting;

    const VadLimits limits = vad_limits(max_duration_ms);
    VadState state;
    bool failed = false;
    bool stalled = false;
    int failed_reads = 0;

    write_status("listening");
    print_flushed("Listening... ");

    // The chunk limits in wall-clock time, for a device that stalls.
    const auto listening_since = Clock::now();
    const auto no_speech_deadline =
        listening_since + std::chrono::milliseconds(no_speech_ms) + stall_grace;
    const auto final_deadline =
        listening_since + std::chrono::milliseconds(max_duration_ms) + stall_grace;

    while (state.chunk_count < limits.chunk_budget) {
        const auto deadline =
            state.speech ? final_deadline : std::min(no_speech_deadline, final_deadline);
        size_t frames = 0;
        const Listened heard = next_chunk(device, buffer.get(), deadline, failed_reads, frames);
        if (heard == Listened::finished) {
            std::puts(" [ended: tovu-voice was started again]");
            break;
        }
        if (heard == Listened::stalled) {
            stalled = true;
        }
        if (heard != Listened::chunk) {
            failed = heard == Listened::stalled || heard == Listened::failed;
            break;
        }
        const VadStep step = vad_step(state, limits, calculate_rms(buffer.get(), frames));
        if (step.is_speech) {
            run_phase = phase_recording;
            print_flushed(".");
        }
        if (step.store &&
            std::fwrite(buffer.get(), sizeof(int16_t), frames, file.get()) != frames) {
            failed = true;
            break;
        }
        if (step.end == VadEnd::no_speech_timeout) {
            std::puts(" [timeout - no speech detected in the first 3 seconds]");
            return capture_no_speech;
        }
        if (step.end == VadEnd::silence_after_speech) {
            std::puts(" [silence detected]");
            break;
        }
    }
    if (!state.speech && state.chunk_count > 0) {
        std::puts(" [no speech detected]");
    }
    if (stalled) {
        std::fflush(stdout);
        std::fputs("\nError: No audio from the microphone\n", stderr);
    }
    // What is still in the block goes out now, while a failure can be told.
    if (!failed && running) {
        std::fflush(file.get());
    }
    if (std::ferror(file.get())) {
        std::fprintf(stderr, "\nError: Could not write to %s\n", path);
        failed = true;
    }
    if (failed || !running) {
        return capture_failed;
    }
    return capture_ok;
}

} // namespace

int record_audio_raw_vad(const char *path, int max_duration_ms, CuePlayer &start_cue) {
    const int result = capture(path, max_duration_ms, start_cue);
    run_phase = phase_busy;
    // ALSA keeps its parsed configuration for the life of the process; the
    // run opens one device only, so it is given back once the device is closed.
    snd_config_update_free_global();
    if (result == capture_no_speech) {
        write_status("ready");
    }
    return result;
}
