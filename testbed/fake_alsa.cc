// A capture device that fails on demand: preloaded into the program under
// test (LD_PRELOAD), it sits in front of the ALSA library's open, parameter,
// prepare and read calls and passes them on to the real library unless told
// otherwise. Its behaviour comes from the environment:
//   FAKE_ALSA_OPEN=fail          snd_pcm_open fails with -ENOENT
//   FAKE_ALSA_PARAMS=fail        snd_pcm_hw_params fails with -EINVAL
//   FAKE_ALSA_PREPARE=fail       snd_pcm_prepare fails with -EIO once the
//                                first read has been made (the library
//                                prepares the device itself while it
//                                applies the parameters)
//   FAKE_ALSA_READ=<fault>       every snd_pcm_readi gives <fault>
//   FAKE_ALSA_READ=after:N:<fault>[:M]
//                                N reads go to the device, then <fault>
//                                forever (or for M reads, then the device
//                                again)
//   FAKE_ALSA_FORMAT=paired      the device takes 16000 Hz only with 2
//                                channels, and 1 channel only at 44100 Hz
//   FAKE_ALSA_LOG=<file>         one line per call and its result
//   FAKE_ALSA_HEAP=1             each read's line also tells the bytes in
//                                use on the heap when the read was made
// Faults of a read:
//   eio     -EIO, a read error; the device can be prepared again
//   epipe   -EPIPE, an overrun; the device can be prepared again
//   enodev  -ENODEV, the device is gone: from then on snd_pcm_prepare
//           fails with -ENODEV too
//   zero    0 frames
//   stall   -EAGAIN, nothing to read yet, while the device's descriptors
//           still say it is ready: a device that has stopped delivering
#include <alsa/asoundlib.h>

#include "stand_in.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>

namespace {

enum class Fault { none, eio, epipe, enodev, zero, stall };

struct ReadPlan {
    long good_first = 0; // reads passed to the device before the fault
    Fault fault = Fault::none;
    long fault_reads = -1; // reads that fail; -1: all of them
};

void log_call(const char *format, ...) __attribute__((format(printf, 1, 2)));

void log_call(const char *format, ...) {
    va_list args;
    va_start(args, format);
    stand_in::log_line("FAKE_ALSA_LOG", format, args);
    va_end(args);
}

using stand_in::wants;

Fault parse_fault(const char *text, size_t length) {
    const struct {
        const char *name;
        Fault fault;
    } names[] = {{"eio", Fault::eio},
                 {"epipe", Fault::epipe},
                 {"enodev", Fault::enodev},
                 {"zero", Fault::zero},
                 {"stall", Fault::stall}};
    for (const auto &entry : names) {
        if (std::strlen(entry.name) == length && std::strncmp(entry.name, text, length) == 0) {
            return entry.fault;
        }
    }
    std::fprintf(stderr, "fake_alsa: unknown fault in FAKE_ALSA_READ\n");
    std::abort();
}

ReadPlan parse_plan() {
    ReadPlan plan;
    const char *text = std::getenv("FAKE_ALSA_READ");
    if (text == nullptr || *text == '\0') {
        return plan;
    }
    if (std::strncmp(text, "after:", 6) != 0) {
        plan.fault = parse_fault(text, std::strlen(text));
        return plan;
    }
    char *rest = nullptr;
    plan.good_first = std::strtol(text + 6, &rest, 10);
    if (*rest != ':') {
        std::fprintf(stderr, "fake_alsa: FAKE_ALSA_READ=after:N:<fault>[:M]\n");
        std::abort();
    }
    const char *name = rest + 1;
    const char *colon = std::strchr(name, ':');
    const size_t length = colon != nullptr ? static_cast<size_t>(colon - name) : std::strlen(name);
    plan.fault = parse_fault(name, length);
    if (colon != nullptr) {
        plan.fault_reads = std::strtol(colon + 1, nullptr, 10);
    }
    return plan;
}

template <typename Function> Function real(const char *name) {
    void *symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "fake_alsa: no %s in the ALSA library\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

long reads = 0;    // snd_pcm_readi calls so far
bool gone = false; // the device has disappeared

} // namespace

extern "C" {

int snd_pcm_open(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode) {
    if (wants("FAKE_ALSA_OPEN", "fail")) {
        log_call("snd_pcm_open %s = %d", name, -ENOENT);
        return -ENOENT;
    }
    using Open = int (*)(snd_pcm_t **, const char *, snd_pcm_stream_t, int);
    const int rc = real<Open>("snd_pcm_open")(pcm, name, stream, mode);
    log_call("snd_pcm_open %s = %d", name, rc);
    return rc;
}

int snd_pcm_hw_params(snd_pcm_t *pcm, snd_pcm_hw_params_t *params) {
    if (wants("FAKE_ALSA_PARAMS", "fail")) {
        log_call("snd_pcm_hw_params = %d", -EINVAL);
        return -EINVAL;
    }
    using HwParams = int (*)(snd_pcm_t *, snd_pcm_hw_params_t *);
    const int rc = real<HwParams>("snd_pcm_hw_params")(pcm, params);
    log_call("snd_pcm_hw_params = %d", rc);
    return rc;
}

int snd_pcm_hw_refine(snd_pcm_t *pcm, snd_pcm_hw_params_t *params) {
    static bool narrowing = false; // the narrowing below refines again
    using Refine = int (*)(snd_pcm_t *, snd_pcm_hw_params_t *);
    const int rc = real<Refine>("snd_pcm_hw_refine")(pcm, params);
    if (rc < 0 || narrowing || !wants("FAKE_ALSA_FORMAT", "paired")) {
        return rc;
    }
    unsigned int value = 0;
    narrowing = true;
    const bool held = (snd_pcm_hw_params_get_rate(params, &value, nullptr) < 0 || value != 16000 ||
                       snd_pcm_hw_params_set_channels(pcm, params, 2) == 0) &&
                      (snd_pcm_hw_params_get_channels(params, &value) < 0 || value != 1 ||
                       snd_pcm_hw_params_set_rate(pcm, params, 44100, 0) == 0);
    narrowing = false;
    return held ? rc : -EINVAL;
}

int snd_pcm_prepare(snd_pcm_t *pcm) {
    int rc = 0;
    if (gone) {
        rc = -ENODEV;
    } else if (reads > 0 && wants("FAKE_ALSA_PREPARE", "fail")) {
        rc = -EIO;
    } else {
        using Prepare = int (*)(snd_pcm_t *);
        rc = real<Prepare>("snd_pcm_prepare")(pcm);
    }
    log_call("snd_pcm_prepare = %d", rc);
    return rc;
}

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t *pcm, void *buffer, snd_pcm_uframes_t size) {
    static const ReadPlan plan = parse_plan();
    const long index = reads++;
    const bool faulty = plan.fault != Fault::none && index >= plan.good_first &&
                        (plan.fault_reads < 0 || index < plan.good_first + plan.fault_reads);
    snd_pcm_sframes_t rc = 0;
    if (!faulty) {
        using Readi = snd_pcm_sframes_t (*)(snd_pcm_t *, void *, snd_pcm_uframes_t);
        rc = real<Readi>("snd_pcm_readi")(pcm, buffer, size);
    } else {
        switch (plan.fault) {
        case Fault::eio:
            rc = -EIO;
            break;
        case Fault::epipe:
            rc = -EPIPE;
            break;
        case Fault::enodev:
            gone = true;
            rc = -ENODEV;
            break;
        case Fault::stall:
            rc = -EAGAIN;
            break;
        case Fault::zero:
        case Fault::none:
            rc = 0;
            break;
        }
    }
    if (std::getenv("FAKE_ALSA_HEAP") != nullptr) {
        const struct mallinfo2 heap = mallinfo2();
        log_call("snd_pcm_readi %ld = %ld heap=%zu", index, static_cast<long>(rc),
                 heap.uordblks + heap.hblkhd);
        return rc;
    }
    log_call("snd_pcm_readi %ld = %ld", index, static_cast<long>(rc));
    return rc;
}

} // extern "C"
