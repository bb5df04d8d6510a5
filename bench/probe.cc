// Measuring probe, preloaded into tovu-voice by the benchmark runner
// (LD_PRELOAD). It wraps the calls that mark the stages of a run and counts
// heap allocations, and at exit writes what it saw as key=value lines to the
// file named by TOVU_PROBE_OUT:
//
//   ctor_ns            when the probe was initialised (libraries loaded)
//   model_ns           time spent in vosk_model_new
//   recognizer_ns      time spent in vosk_recognizer_new
//   reads              snd_pcm_readi calls
//   first_read_ns      entry into the first snd_pcm_readi
//   last_read_ns       return from the last snd_pcm_readi
//   pcm_close_ns       return from the last snd_pcm_close
//   accept_ns          entry into vosk_recognizer_accept_waveform_s
//   decode_ns          vosk_recognizer_accept_waveform_s + _result (+ _partial_result)
//   decoded_ns         return from the last of those
//   samples            samples given to the recognizer
//   allocs             allocations over the whole run
//   capture_allocs     allocations from the first read's entry to the last read's return
//   pcm_open_ns        time spent in snd_pcm_open
//   spawn_ns           entry into the first posix_spawn (the start cue's player)
//   peak_rss_kb        VmHWM at exit
//   system=START_NS DURATION_NS COMMAND   one line per system() call
//
// All times are CLOCK_MONOTONIC nanoseconds, comparable with the runner's
// and the stub processor's. The probe takes itself out of the environment
// so that the shells and programs that tovu-voice starts are not probed.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *ptr);

struct VoskModel;
struct VoskRecognizer;
}

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::atomic<int64_t> allocs{0};
int64_t ctor_ns = 0;
int64_t model_ns = 0;
int64_t recognizer_ns = 0;
int64_t reads = 0;
int64_t first_read_ns = 0;
int64_t last_read_ns = 0;
int64_t allocs_at_first_read = 0;
int64_t allocs_at_last_read = 0;
int64_t decode_ns = 0;
int64_t samples = 0;
int64_t pcm_open_ns = 0;
int64_t spawn_ns = 0;
int64_t pcm_close_ns = 0;
int64_t accept_ns = 0;
int64_t decoded_ns = 0;

// The shell commands the program ran, with when and how long.
struct SystemCall {
    int64_t start_ns;
    int64_t duration_ns;
    char command[80];
};
SystemCall system_calls[16];
int system_count = 0;

void count_alloc() {
    allocs.fetch_add(1, std::memory_order_relaxed);
}

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long peak_rss_kb() {
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[4096];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    const char *line = std::strstr(text, "VmHWM:");
    return line != nullptr ? std::strtol(line + 6, nullptr, 10) : -1;
}

__attribute__((constructor)) void start_probe() {
    ctor_ns = now_ns();
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) void write_report() {
    const char *path = std::getenv("TOVU_PROBE_OUT");
    if (path == nullptr) {
        return;
    }
    char text[4096];
    int n = std::snprintf(
        text, sizeof text,
        "ctor_ns=%lld\nmodel_ns=%lld\nrecognizer_ns=%lld\nreads=%lld\nfirst_read_ns=%lld\n"
        "last_read_ns=%lld\ndecode_ns=%lld\nsamples=%lld\nallocs=%lld\ncapture_allocs=%lld\n"
        "pcm_open_ns=%lld\npcm_close_ns=%lld\naccept_ns=%lld\ndecoded_ns=%lld\npeak_rss_kb=%ld\n"
        "spawn_ns=%lld\n",
        static_cast<long long>(ctor_ns), static_cast<long long>(model_ns),
        static_cast<long long>(recognizer_ns), static_cast<long long>(reads),
        static_cast<long long>(first_read_ns), static_cast<long long>(last_read_ns),
        static_cast<long long>(decode_ns), static_cast<long long>(samples),
        static_cast<long long>(allocs.load()),
        static_cast<long long>(allocs_at_last_read - allocs_at_first_read),
        static_cast<long long>(pcm_open_ns), static_cast<long long>(pcm_close_ns),
        static_cast<long long>(accept_ns), static_cast<long long>(decoded_ns), peak_rss_kb(),
        static_cast<long long>(spawn_ns));
    for (int i = 0; i < system_count && n > 0 && static_cast<size_t>(n) < sizeof text; ++i) {
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "system=%lld %lld %s\n",
                           static_cast<long long>(system_calls[i].start_ns),
                           static_cast<long long>(system_calls[i].duration_ns),
                           system_calls[i].command);
    }
    if (static_cast<size_t>(n) >= sizeof text) {
        n = static_cast<int>(sizeof text - 1);
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && n > 0) {
        [[maybe_unused]] ssize_t ignored = write(fd, text, static_cast<size_t>(n));
        close(fd);
    }
}

} // namespace

extern "C" {

// ---- Heap ----------------------------------------------------------------

void *malloc(size_t size) {
    count_alloc();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    count_alloc();
    return __libc_calloc(count, size);
}
void *realloc(void *ptr, size_t size) {
    count_alloc();
    return __libc_realloc(ptr, size);
}
void free(void *ptr) {
    __libc_free(ptr);
}
void *memalign(size_t alignment, size_t size) {
    count_alloc();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
    count_alloc();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) {
    count_alloc();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

// ---- Capture --------------------------------------------------------------

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t *pcm, void *buffer, snd_pcm_uframes_t size) {
    static auto real =
        next<snd_pcm_sframes_t (*)(snd_pcm_t *, void *, snd_pcm_uframes_t)>("snd_pcm_readi");
    if (reads++ == 0) {
        first_read_ns = now_ns();
        allocs_at_first_read = allocs.load(std::memory_order_relaxed);
    }
    const snd_pcm_sframes_t n = real(pcm, buffer, size);
    last_read_ns = now_ns();
    allocs_at_last_read = allocs.load(std::memory_order_relaxed);
    return n;
}

int snd_pcm_open(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode) {
    static auto real =
        next<int (*)(snd_pcm_t **, const char *, snd_pcm_stream_t, int)>("snd_pcm_open");
    const int64_t t0 = now_ns();
    const int r = real(pcm, name, stream, mode);
    pcm_open_ns += now_ns() - t0;
    return r;
}

int snd_pcm_close(snd_pcm_t *pcm) {
    static auto real = next<int (*)(snd_pcm_t *)>("snd_pcm_close");
    const int r = real(pcm);
    pcm_close_ns = now_ns();
    return r;
}

// ---- Shell commands --------------------------------------------------------

int system(const char *command) {
    static auto real = next<int (*)(const char *)>("system");
    const int64_t t0 = now_ns();
    const int r = real(command);
    if (system_count < 16) {
        SystemCall &call = system_calls[system_count++];
        call.start_ns = t0;
        call.duration_ns = now_ns() - t0;
        std::snprintf(call.command, sizeof call.command, "%s", command != nullptr ? command : "");
        for (char *c = call.command; *c != '\0'; ++c) {
            if (*c == '\n') {
                *c = ' ';
            }
        }
    }
    return r;
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
    static auto real =
        next<int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                     const posix_spawnattr_t *, char *const[], char *const[])>("posix_spawn");
    if (spawn_ns == 0) {
        spawn_ns = now_ns();
    }
    return real(pid, path, actions, attributes, argv, envp);
}

// ---- Recognizer ----------------------------------------------------------

VoskModel *vosk_model_new(const char *path) {
    static auto real = next<VoskModel *(*)(const char *)>("vosk_model_new");
    const int64_t t0 = now_ns();
    VoskModel *model = real(path);
    model_ns += now_ns() - t0;
    return model;
}

VoskRecognizer *vosk_recognizer_new(VoskModel *model, float rate) {
    static auto real = next<VoskRecognizer *(*)(VoskModel *, float)>("vosk_recognizer_new");
    const int64_t t0 = now_ns();
    VoskRecognizer *recognizer = real(model, rate);
    recognizer_ns += now_ns() - t0;
    return recognizer;
}

int vosk_recognizer_accept_waveform_s(VoskRecognizer *recognizer, const short *data, int length) {
    static auto real =
        next<int (*)(VoskRecognizer *, const short *, int)>("vosk_recognizer_accept_waveform_s");
    const int64_t t0 = now_ns();
    accept_ns = t0;
    const int r = real(recognizer, data, length);
    decoded_ns = now_ns();
    decode_ns += decoded_ns - t0;
    samples += length;
    return r;
}

const char *vosk_recognizer_result(VoskRecognizer *recognizer) {
    static auto real = next<const char *(*)(VoskRecognizer *)>("vosk_recognizer_result");
    const int64_t t0 = now_ns();
    const char *r = real(recognizer);
    decoded_ns = now_ns();
    decode_ns += decoded_ns - t0;
    return r;
}

const char *vosk_recognizer_partial_result(VoskRecognizer *recognizer) {
    static auto real = next<const char *(*)(VoskRecognizer *)>("vosk_recognizer_partial_result");
    const int64_t t0 = now_ns();
    const char *r = real(recognizer);
    decoded_ns = now_ns();
    decode_ns += decoded_ns - t0;
    return r;
}

} // extern "C"
