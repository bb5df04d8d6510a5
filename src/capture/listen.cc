#include "capture/listen.h"

#include "base/feedback.h"
#include "base/scratch_file.h"
#include "base/state.h"
#include "capture/vad.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <poll.h>
#include <utility>

namespace {

struct PcmCloser {
    void operator()(snd_pcm_t *pcm) const { snd_pcm_close(pcm); }
};
using UniquePcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFreer {
    void operator()(snd_pcm_hw_params_t *params) const { snd_pcm_hw_params_free(params); }
};
using UniqueHwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer>;

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

UniquePcm open_capture_device() {
    snd_pcm_t *raw = nullptr;
    // Non-blocking: the capture waits for the device itself, so that a
    // device that delivers nothing cannot hold the run past its limits or
    // past a stop request.
    if (snd_pcm_open(&raw, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        return nullptr;
    }
    UniquePcm pcm(raw);
    snd_pcm_hw_params_t *raw_params = nullptr;
    if (snd_pcm_hw_params_malloc(&raw_params) < 0) {
        return nullptr;
    }
    UniqueHwParams params(raw_params);
    unsigned int rate = sample_rate;
    snd_pcm_hw_params_any(pcm.get(), params.get());
    snd_pcm_hw_params_set_access(pcm.get(), params.get(), SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm.get(), params.get(), SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_rate_near(pcm.get(), params.get(), &rate, nullptr);
    snd_pcm_hw_params_set_channels(pcm.get(), params.get(), 1);
    // Applying the parameters leaves the device prepared. Preparing it once
    // more is not harmless: PulseAudio's ALSA plugin then reports itself
    // ready forever while it has nothing to read.
    if (snd_pcm_hw_params(pcm.get(), params.get()) < 0) {
        return nullptr;
    }
    return pcm;
}

using Clock = std::chrono::steady_clock;

// How long to rest after the device said it was ready and then had
// nothing to read, before asking it again: a device that keeps doing that
// must not keep a core busy.
constexpr auto idle_pause = std::chrono::milliseconds(10);

// What the capture waits on: the stop request first, then the device's own
// descriptors. Set up once, so that the capture loop allocates nothing.
struct Waiter {
    snd_pcm_t *pcm;
    std::unique_ptr<pollfd[]> fds;
    unsigned int device_fds;
};

bool make_waiter(snd_pcm_t *pcm, Waiter &waiter) {
    const int count = snd_pcm_poll_descriptors_count(pcm);
    if (count < 0) {
        return false;
    }
    waiter.pcm = pcm;
    waiter.device_fds = static_cast<unsigned int>(count);
    waiter.fds.reset(new (std::nothrow) pollfd[waiter.device_fds + 1]);
    if (!waiter.fds) {
        return false;
    }
    waiter.fds[0] = {stop_wake_fd(), POLLIN, 0};
    return snd_pcm_poll_descriptors(pcm, &waiter.fds[1], waiter.device_fds) == count;
}

enum class Wait { ready, stopped, timed_out };

// Waits until the device may have audio, a stop is requested or `deadline`
// passes. With `pause_first`, rests for idle_pause before asking the device;
// a device without descriptors to wait on is asked again after each rest.
Wait wait_for_device(Waiter &waiter, Clock::time_point deadline, bool pause_first) {
    pause_first = pause_first || waiter.device_fds == 0;
    for (;;) {
        if (!running) {
            return Wait::stopped;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return Wait::timed_out;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (pause_first) {
            left = std::min(left, std::chrono::ceil<std::chrono::milliseconds>(idle_pause));
        }
        const nfds_t watched = pause_first ? 1 : waiter.device_fds + 1;
        const int woken = poll(waiter.fds.get(), watched, static_cast<int>(left.count()));
        if (woken < 0 && errno != EINTR) {
            return Wait::timed_out; // a device that cannot be waited for
        }
        if (pause_first) {
            if (woken >= 0 && waiter.device_fds == 0) {
                return Wait::ready;
            }
            pause_first = woken < 0;
            continue;
        }
        if (woken <= 0 || waiter.fds[0].revents != 0) {
            continue;
        }
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(waiter.pcm, &waiter.fds[1], waiter.device_fds,
                                             &revents) < 0 ||
            revents != 0) {
            return Wait::ready;
        }
        // Woken for nothing: rest before asking again.
        pause_first = true;
    }
}

enum class ReadEnd { read, stopped, stalled };

struct ChunkRead {
    ReadEnd end;
    snd_pcm_sframes_t frames; // with ReadEnd::read: frames read, 0 or an error
};

// Reads one chunk of chunk_frames as a blocking read would: the whole chunk,
// or what came before an error, or the error. Unlike a blocking read, it
// gives up at `deadline` and as soon as a stop is requested.
ChunkRead read_chunk(Waiter &waiter, int16_t *buffer, Clock::time_point deadline) {
    snd_pcm_uframes_t filled = 0;
    bool woken_for_nothing = false;
    while (filled < chunk_frames) {
        const snd_pcm_sframes_t n =
            snd_pcm_readi(waiter.pcm, buffer + filled, chunk_frames - filled);
        if (n > 0) {
            filled += static_cast<snd_pcm_uframes_t>(n);
            woken_for_nothing = false;
            continue;
        }
        if (n != -EAGAIN) {
            return {ReadEnd::read, filled > 0 ? static_cast<snd_pcm_sframes_t>(filled) : n};
        }
        switch (wait_for_device(waiter, deadline, woken_for_nothing)) {
        case Wait::ready:
            woken_for_nothing = true; // until the next read proves otherwise
            break;
        case Wait::stopped:
            return {ReadEnd::stopped, 0};
        case Wait::timed_out:
            return {ReadEnd::stalled, 0};
        }
    }
    return {ReadEnd::read, static_cast<snd_pcm_sframes_t>(filled)};
}

// Grace beyond the chunk limits before a device that delivers too little
// counts as stalled: audio that flows in real time always reaches the limit
// in chunks first, even when the device hands it over in bursts.
constexpr auto stall_grace = std::chrono::milliseconds(500);

// ALSA's own report of an error of the device, as the library would print
// it, except for a blocking call that a stop request interrupted: that is
// the stop working, not a fault.
void report_alsa_error(const char *file, int line, const char *function, int err, const char *fmt,
                       va_list args) {
    if (err == EINTR) {
        return;
    }
    std::fprintf(stderr, "ALSA lib %s:%i:(%s) ", file, line, function);
    std::vfprintf(stderr, fmt, args);
    if (err != 0) {
        std::fprintf(stderr, ": %s", snd_strerror(err));
    }
    std::fputc('\n', stderr);
}

// The library's header declares this one outside its C linkage block.
extern "C" snd_local_error_handler_t
set_alsa_local_error_handler(snd_local_error_handler_t handler) __asm__("snd_lib_error_set_local");

// Routes the errors that ALSA reports through report_alsa_error while it
// lives.
class StopErrorFilter {
  public:
    StopErrorFilter() { set_alsa_local_error_handler(report_alsa_error); }
    ~StopErrorFilter() { set_alsa_local_error_handler(nullptr); }
    StopErrorFilter(const StopErrorFilter &) = delete;
    StopErrorFilter &operator=(const StopErrorFilter &) = delete;
};

void print_flushed(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int capture(const char *path, int max_duration_ms) {
    if (!running) {
        return capture_failed;
    }
    const StopErrorFilter filter;
    UniquePcm pcm = open_capture_device();
    if (!pcm) {
        return capture_failed;
    }
    Waiter waiter{};
    if (!make_waiter(pcm.get(), waiter)) {
        return capture_failed;
    }
    UniqueFd fd(create_scratch_file(path));
    if (!fd) {
        std::fprintf(stderr, "Error: Could not create %s\n", path);
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

    while (running && state.chunk_count < limits.chunk_budget) {
        const auto deadline =
            state.speech ? final_deadline : std::min(no_speech_deadline, final_deadline);
        const ChunkRead chunk = read_chunk(waiter, buffer.get(), deadline);
        // A stop may have cut the read short: what it returned is not audio.
        if (chunk.end == ReadEnd::stopped || !running) {
            break;
        }
        if (chunk.end == ReadEnd::stalled) {
            stalled = true;
            failed = true;
            break;
        }
        const snd_pcm_sframes_t n = chunk.frames;
        if (n < 0 && (n == -EINTR || !running)) {
            break;
        }
        if (n <= 0) {
            // A device that keeps failing, or that is gone, ends the capture.
            const bool recovered = n == 0 || snd_pcm_prepare(pcm.get()) >= 0;
            if (!recovered || ++failed_reads >= max_failed_reads) {
                failed = true;
                break;
            }
            continue;
        }
        failed_reads = 0;
        const size_t frames = static_cast<size_t>(n);
        const VadStep step = vad_step(state, limits, calculate_rms(buffer.get(), frames));
        if (step.is_speech) {
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

int record_audio_raw_vad(const char *path, int max_duration_ms) {
    const int result = capture(path, max_duration_ms);
    // ALSA keeps its parsed configuration for the life of the process; the
    // run opens one device only, so it is given back once the device is closed.
    snd_config_update_free_global();
    if (result == capture_no_speech) {
        write_status("ready");
    }
    return result;
}
