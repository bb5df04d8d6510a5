// A desktop's notification service on the session bus, as far as the
// program uses one: it owns org.freedesktop.Notifications, prints "ready",
// then "summary | body" for each notification and "closed" for each closing.
#include <cstdio>
#include <memory>
#include <systemd/sd-bus.h>

namespace {

int notify(sd_bus_message *call, void *, sd_bus_error *) {
    const char *app = "", *icon = "", *summary = "", *body = "";
    uint32_t replaces = 0;
    sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
    std::printf("%s | %s\n", summary, body);
    std::fflush(stdout);
    return sd_bus_reply_method_return(call, "u", 1u);
}

int close_notification(sd_bus_message *call, void *, sd_bus_error *) {
    std::puts("closed");
    std::fflush(stdout);
    return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable calls[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("CloseNotification", "u", "", close_notification, 0), SD_BUS_VTABLE_END};

} // namespace

int main() {
    sd_bus *raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        return 1;
    }
    const std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)> bus(raw, sd_bus_flush_close_unref);
    const char *name = "org.freedesktop.Notifications";
    if (sd_bus_add_object_vtable(raw, nullptr, "/org/freedesktop/Notifications", name, calls,
                                 nullptr) < 0 ||
        sd_bus_request_name(raw, name, 0) < 0) {
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    while (sd_bus_process(raw, nullptr) >= 0 && sd_bus_wait(raw, UINT64_MAX) >= 0) {
    }
}
