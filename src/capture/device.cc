#include "capture/device.h"

#include "base/state.h"
#include "capture/vad.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <sstream>

namespace {

struct OutputCloser {
    void operator()(snd_output_t *output) const { snd_output_close(output); }
};
using UniqueOutput = std::unique_ptr<snd_output_t, OutputCloser>;

// Appended piece by piece: GCC 12 misreads "text" + std::string at -O3.
std::string range(unsigned int low, unsigned int high, const char *unit) {
    std::string text = std::to_string(low);
    if (high != low) {
        text += '-';
        text += std::to_string(high);
    }
    text += unit;
    return text;
}

// What the device's configuration space holds where it misses the capture's
// format: its rates, its channel counts, its sample formats.
std::string describe_misses(snd_pcm_t *pcm, snd_pcm_hw_params_t *space) {
    std::string offered;
    const auto add = [&offered](const std::string &part) {
        if (!offered.empty()) {
            offered += ", ";
        }
        offered += part;
    };
    unsigned int low = 0;
    unsigned int high = 0;
    if (snd_pcm_hw_params_test_rate(pcm, space, sample_rate, 0) != 0 &&
        snd_pcm_hw_params_get_rate_min(space, &low, nullptr) == 0 &&
        snd_pcm_hw_params_get_rate_max(space, &high, nullptr) == 0) {
        add(range(low, high, " Hz"));
    }
    if (snd_pcm_hw_params_test_channels(pcm, space, 1) != 0 &&
        snd_pcm_hw_params_get_channels_min(space, &low) == 0 &&
        snd_pcm_hw_params_get_channels_max(space, &high) == 0) {
        add(range(low, high, high == 1 ? " channel" : " channels"));
    }
    if (snd_pcm_hw_params_test_format(pcm, space, SND_PCM_FORMAT_S16_LE) != 0) {
        std::string formats;
        for (int f = 0; f <= SND_PCM_FORMAT_LAST; ++f) {
            const auto format = static_cast<snd_pcm_format_t>(f);
            if (snd_pcm_hw_params_test_format(pcm, space, format) == 0) {
                if (!formats.empty()) {
                    formats += '/';
                }
                formats += snd_pcm_format_name(format);
            }
        }
        formats += formats.empty() ? "no sample format it can name" : " samples";
        add(formats);
    }
    if (snd_pcm_hw_params_test_access(pcm, space, SND_PCM_ACCESS_RW_INTERLEAVED) != 0) {
        add("no interleaved reads");
    }
    return offered;
}

// The capture's format part by part, each as it is set exactly in a
// configuration space, and as what the device's other offers go with.
struct FormatPart {
    int (*set)(snd_pcm_t *pcm, snd_pcm_hw_params_t *space);
    const char *with;
};
const FormatPart format_parts[] = {
    {[](snd_pcm_t *pcm, snd_pcm_hw_params_t *space) {
         return snd_pcm_hw_params_set_rate(pcm, space, sample_rate, 0);
     },
     " at 16000 Hz"},
    {[](snd_pcm_t *pcm, snd_pcm_hw_params_t *space) {
         return snd_pcm_hw_params_set_channels(pcm, space, 1);
     },
     " in mono"},
    {[](snd_pcm_t *pcm, snd_pcm_hw_params_t *space) {
         return snd_pcm_hw_params_set_format(pcm, space, SND_PCM_FORMAT_S16_LE);
     },
     " in S16_LE"},
};

// What the device offers when it misses the capture's format: what it misses,
// or, where it takes each part but not all of them at once, what it takes
// with each part ("2 channels at 16000 Hz, 44100 Hz in mono").
std::string describe_offer(snd_pcm_t *pcm, snd_pcm_hw_params_t *space) {
    std::string offered = describe_misses(pcm, space);
    snd_pcm_hw_params_t *raw = nullptr;
    if (!offered.empty() || snd_pcm_hw_params_malloc(&raw) < 0) {
        return offered;
    }
    const UniqueHwParams with_part(raw);
    for (const FormatPart &part : format_parts) {
        snd_pcm_hw_params_copy(with_part.get(), space);
        const std::string misses =
            part.set(pcm, with_part.get()) < 0 ? "" : describe_misses(pcm, with_part.get());
        if (!misses.empty()) {
            offered += offered.empty() ? "" : ", ";
            offered += misses;
            offered += part.with;
        }
    }
    return offered.empty() ? "16000 Hz, mono and S16_LE, but not all at once" : offered;
}

bool make_waiter(CaptureDevice &device) {
    const int count = snd_pcm_poll_descriptors_count(device.pcm.get());
    if (count < 0) {
        return false;
    }
    device.device_fds = static_cast<unsigned int>(count);
    device.fds.reset(new (std::nothrow) pollfd[device.device_fds + 1]);
    if (!device.fds) {
        return false;
    }
    device.fds[0] = {stop_wake_fd(), POLLIN, 0};
    return snd_pcm_poll_descriptors(device.pcm.get(), &device.fds[1], device.device_fds) == count;
}

// How long to rest after the device said it was ready and then had
// nothing to read, before asking it again: a device that keeps doing that
// must not keep a core busy.
constexpr auto idle_pause = std::chrono::milliseconds(10);

enum class Wait { ready, stopped, timed_out };

// Waits until the device may have audio, a stop is requested or `deadline`
// passes. With `pause_first`, rests for idle_pause before asking the device;
// a device without descriptors to wait on is asked again after each rest.
Wait wait_for_device(CaptureDevice &device, Clock::time_point deadline, bool pause_first) {
    pause_first = pause_first || device.device_fds == 0;
    for (;;) {
        if (!running || finish_requested) {
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
        const nfds_t watched = pause_first ? 1 : device.device_fds + 1;
        const int woken = poll(device.fds.get(), watched, static_cast<int>(left.count()));
        if (woken < 0 && errno != EINTR) {
            return Wait::timed_out; // a device that cannot be waited for
        }
        if (pause_first) {
            if (woken >= 0 && device.device_fds == 0) {
                return Wait::ready;
            }
            pause_first = woken < 0;
            continue;
        }
        if (woken <= 0 || device.fds[0].revents != 0) {
            continue;
        }
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(device.pcm.get(), &device.fds[1], device.device_fds,
                                             &revents) < 0 ||
            revents != 0) {
            return Wait::ready;
        }
        // Woken for nothing: rest before asking again.
        pause_first = true;
    }
}

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

} // namespace

DeviceOpen open_capture_device(CaptureDevice &device, std::string &offered) {
    snd_pcm_t *raw = nullptr;
    // Non-blocking: the capture waits for the device itself, so that a
    // device that delivers nothing cannot hold the run past its limits or
    // past a stop request.
    if (snd_pcm_open(&raw, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        return DeviceOpen::unavailable;
    }
    UniquePcm pcm(raw);
    snd_pcm_hw_params_t *raw_params = nullptr;
    if (snd_pcm_hw_params_malloc(&raw_params) < 0) {
        return DeviceOpen::unavailable;
    }
    UniqueHwParams params(raw_params);
    if (snd_pcm_hw_params_any(pcm.get(), params.get()) < 0) {
        return DeviceOpen::unavailable;
    }
    // A device that cannot take the format exactly, all of it at once, would
    // be set up at what it offers, and its audio would reach the recognizer
    // mislabelled.
    bool taken =
        snd_pcm_hw_params_set_access(pcm.get(), params.get(), SND_PCM_ACCESS_RW_INTERLEAVED) == 0;
    for (const FormatPart &part : format_parts) {
        taken = taken && part.set(pcm.get(), params.get()) == 0;
    }
    if (!taken) {
        if (snd_pcm_hw_params_any(pcm.get(), params.get()) < 0) {
            return DeviceOpen::unavailable;
        }
        offered = describe_offer(pcm.get(), params.get());
        return DeviceOpen::wrong_format;
    }
    device.pcm = std::move(pcm);
    device.format = std::move(params);
    return DeviceOpen::opened;
}

namespace {

// What report_wrong_format refused last, for the end of the run to tell again.
std::string last_refused_offer;

} // namespace

void report_wrong_format(const std::string &offered) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Error: The microphone device offers only %s, not the 16000 Hz mono S16_LE audio "
                 "that tovu-voice reads: let ALSA convert it (the sound server's \"default\" "
                 "device, or \"plughw:\" instead of \"hw:\" in ~/.asoundrc)\n",
                 offered.c_str());
    last_refused_offer = offered;
}

const std::string &refused_offer() {
    return last_refused_offer;
}

Route device_route(snd_pcm_t *pcm) {
    snd_output_t *raw = nullptr;
    if (snd_output_buffer_open(&raw) < 0) {
        return Route::alsa;
    }
    const UniqueOutput output(raw);
    snd_pcm_dump(pcm, output.get());
    char *text = nullptr;
    const size_t size = snd_output_buffer_string(output.get(), &text);
    // Each plugin's dump begins with its own name, which ends a line of its
    // own or the line of the plugin above it ("Slave: "); the names of the
    // sound servers inside other text (a file's path) say nothing.
    std::istringstream dump(std::string(text, size));
    for (std::string line; std::getline(dump, line);) {
        if (line.ends_with("ALSA <-> PipeWire PCM I/O Plugin")) {
            return Route::pipewire;
        }
        if (line.ends_with("ALSA <-> PulseAudio PCM I/O Plugin")) {
            return Route::pulseaudio;
        }
    }
    return Route::alsa;
}

ChunkRead read_chunk(CaptureDevice &device, int16_t *buffer, Clock::time_point deadline) {
    snd_pcm_uframes_t filled = 0;
    bool woken_for_nothing = false;
    while (filled < chunk_frames) {
        const snd_pcm_sframes_t n =
            snd_pcm_readi(device.pcm.get(), buffer + filled, chunk_frames - filled);
        if (n > 0) {
            filled += static_cast<snd_pcm_uframes_t>(n);
            woken_for_nothing = false;
            continue;
        }
        if (n != -EAGAIN) {
            return {ReadEnd::read, filled > 0 ? static_cast<snd_pcm_sframes_t>(filled) : n};
        }
        switch (wait_for_device(device, deadline, woken_for_nothing)) {
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

bool start_capture_device(CaptureDevice &device) {
    // Applying the format prepares the device: a sound server's plugin then
    // starts its stream, which from then on keeps what it hears. Preparing
    // it once more is not harmless: PulseAudio's ALSA plugin then reports
    // itself ready forever while it has nothing to read.
    if (snd_pcm_hw_params(device.pcm.get(), device.format.get()) < 0 || !make_waiter(device)) {
        return false;
    }
    // A device that cannot start now starts with the first read.
    snd_pcm_start(device.pcm.get());
    return true;
}

Listened next_chunk(CaptureDevice &device, int16_t *buffer, Clock::time_point deadline,
                    int &failed_reads, size_t &frames) {
    for (;;) {
        if (!running) {
            return Listened::stopped;
        }
        if (finish_requested) {
            return Listened::finished;
        }
        const ChunkRead chunk = read_chunk(device, buffer, deadline);
        // A stop may have cut the read short: what it returned is not audio.
        if (chunk.end == ReadEnd::stopped || !running) {
            return running ? Listened::finished : Listened::stopped;
        }
        if (chunk.end == ReadEnd::stalled) {
            return Listened::stalled;
        }
        const snd_pcm_sframes_t n = chunk.frames;
        if (n == -EINTR) {
            return Listened::interrupted;
        }
        if (n > 0) {
            failed_reads = 0;
            frames = static_cast<size_t>(n);
            return Listened::chunk;
        }
        // A device that keeps failing, or that is gone, ends the listening.
        const bool recovered = n == 0 || snd_pcm_prepare(device.pcm.get()) >= 0;
        if (!recovered || ++failed_reads >= max_failed_reads) {
            return Listened::failed;
        }
    }
}

StopErrorFilter::StopErrorFilter() {
    set_alsa_local_error_handler(report_alsa_error);
}
StopErrorFilter::~StopErrorFilter() {
    set_alsa_local_error_handler(nullptr);
}
