// The default ALSA capture device in the one format that the capture uses
// (S16_LE, 16000 Hz, mono), and reading whole chunks from it without waiting
// past a deadline or a stop request. Both programs listen through it.
#pragma once

#include <alsa/asoundlib.h>
#include <chrono>
#include <cstdint>
#include <memory>
#include <poll.h>
#include <string>

struct PcmCloser {
    void operator()(snd_pcm_t *pcm) const { snd_pcm_close(pcm); }
};
using UniquePcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

using Clock = std::chrono::steady_clock;

// The opened device and what the capture waits on: the stop request first,
// then the device's own descriptors. Set up once, so that reading allocates
// nothing.
struct HwParamsFreer {
    void operator()(snd_pcm_hw_params_t *params) const { snd_pcm_hw_params_free(params); }
};
using UniqueHwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer>;

struct CaptureDevice {
    UniquePcm pcm;
    UniqueHwParams format; // the capture's format, chosen but not yet applied
    std::unique_ptr<pollfd[]> fds;
    unsigned int device_fds = 0;
};

enum class DeviceOpen { opened, unavailable, wrong_format };

// Opens "default" for capture, non-blocking, set up and prepared in the
// capture's format. wrong_format when the device cannot take that format
// exactly; `offered` then says what it takes instead ("2 channels").
DeviceOpen open_capture_device(CaptureDevice &device, std::string &offered);

// Refuses a device that offers `offered` in one "Error: " line on standard
// error, after what standard output already holds.
void report_wrong_format(const std::string &offered);

// What the device that report_wrong_format refused last offered; empty until
// it has refused one.
const std::string &refused_offer();

// Which sound server, if any, is behind the opened device.
enum class Route { alsa, pulseaudio, pipewire };
Route device_route(snd_pcm_t *pcm);

enum class ReadEnd { read, stopped, stalled };

struct ChunkRead {
    ReadEnd end;
    snd_pcm_sframes_t frames; // with ReadEnd::read: frames read, 0 or an error
};

// Reads one chunk of chunk_frames as a blocking read would: the whole chunk,
// or what came before an error, or the error. Unlike a blocking read, it
// gives up at `deadline` and as soon as a stop is requested.
ChunkRead read_chunk(CaptureDevice &device, int16_t *buffer, Clock::time_point deadline);

// Applies the chosen format and starts the opened device: it hears from now
// on, not before (a sound server's stream begins only here). False when the
// device cannot be started.
bool start_capture_device(CaptureDevice &device);

// What listening brought next: a chunk of at least one frame, or why not.
enum class Listened {
    chunk,       // `frames` frames are in the buffer
    stopped,     // a stop was requested
    finished,    // a second start ended the recording
    interrupted, // a read was interrupted
    stalled,     // the device delivered nothing up to the deadline
    failed,      // the device kept failing, or could not be recovered
};

// The listening loop of both programs: reads the next chunk, giving up at
// `deadline`. A failed read is recovered by preparing the device again;
// `failed_reads` (0 at the start) counts such reads and empty ones in a row,
// up to max_failed_reads.
Listened next_chunk(CaptureDevice &device, int16_t *buffer, Clock::time_point deadline,
                    int &failed_reads, size_t &frames);

// Consecutive failed or empty reads after which the device counts as gone.
inline constexpr int max_failed_reads = 16;

// Grace beyond the chunk limits before a device that delivers too little
// counts as stalled: audio that flows in real time always reaches the limit
// in chunks first, even when the device hands it over in bursts.
inline constexpr auto stall_grace = std::chrono::milliseconds(500);

// Routes the errors that ALSA reports to standard error as the library
// would print them, except for a blocking call that a stop request
// interrupted (that is the stop working, not a fault), while it lives.
class StopErrorFilter {
  public:
    StopErrorFilter();
    ~StopErrorFilter();
    StopErrorFilter(const StopErrorFilter &) = delete;
    StopErrorFilter &operator=(const StopErrorFilter &) = delete;
};
