#include "base/notify.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

// Closed without flushing: a flush waits for a bus that does not answer,
// with no bound.
struct BusCloser {
    void operator()(sd_bus *bus) const { sd_bus_close_unref(bus); }
};
struct MessageFreer {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
struct SlotFreer {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
using UniqueBus = std::unique_ptr<sd_bus, BusCloser>;
using UniqueMessage = std::unique_ptr<sd_bus_message, MessageFreer>;
using UniqueSlot = std::unique_ptr<sd_bus_slot, SlotFreer>;

using Clock = std::chrono::steady_clock;

constexpr const char *service = "org.freedesktop.Notifications";
constexpr const char *service_path = "/org/freedesktop/Notifications";
constexpr const char *icon = "audio-input-microphone";
// The protocol's urgency "normal"; the desktop chooses how long it shows.
constexpr uint8_t urgency_normal = 1;
constexpr int32_t expire_as_desktop_chooses = -1;

// The Notify call, or null when it cannot be made.
UniqueMessage notify_call(sd_bus *bus, const char *summary, const char *body) {
    sd_bus_message *raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, service, service_path, service, "Notify") < 0) {
        return nullptr;
    }
    UniqueMessage call(raw);
    // Application, replaced notification (none), icon, summary, body, no
    // actions, the urgency hint, expiry.
    if (sd_bus_message_append(call.get(), "susssasa{sv}i", "tovu-voice", uint32_t{0}, icon, summary,
                              body, 0, 1, "urgency", "y", urgency_normal,
                              expire_as_desktop_chooses) < 0) {
        return nullptr;
    }
    return call;
}

int note_answer(sd_bus_message *, void *answered, sd_bus_error *) {
    *static_cast<bool *>(answered) = true;
    return 0;
}

// What is left of `deadline`, in the microseconds that sd-bus counts; 0 once
// it has passed.
uint64_t usec_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint64_t>(left) : 0;
}

} // namespace

void notify_user(const char *summary, const char *body) {
    if (isatty(STDOUT_FILENO)) {
        return;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(notify_wait_ms);
    // The connection is made without waiting: sd-bus sends the call once the
    // bus has let it in. Its own blocking calls wait for that with no bound,
    // so the call goes out asynchronously and the waiting is done here.
    sd_bus *raw_bus = nullptr;
    if (sd_bus_open_user(&raw_bus) < 0) {
        return;
    }
    const UniqueBus bus(raw_bus);
    const UniqueMessage call = notify_call(bus.get(), summary, body);
    bool answered = false;
    sd_bus_slot *raw_slot = nullptr;
    if (!call || sd_bus_call_async(bus.get(), &raw_slot, call.get(), note_answer, &answered,
                                   usec_left(deadline)) < 0) {
        return;
    }
    const UniqueSlot slot(raw_slot);
    for (uint64_t left = usec_left(deadline); !answered && left > 0; left = usec_left(deadline)) {
        const int processed = sd_bus_process(bus.get(), nullptr);
        if (processed < 0) {
            return;
        }
        if (processed == 0) {
            const int waited = sd_bus_wait(bus.get(), left);
            if (waited < 0 && waited != -EINTR) {
                return;
            }
        }
    }
}
