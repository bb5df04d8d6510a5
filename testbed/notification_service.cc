// A desktop's notification service on the session bus: it answers the calls
// of org.freedesktop.Notifications and appends "summary | body" for each
// notification, and "closed" for each closing, to the file named by its
// argument. Prints "ready" once it owns the name.
#include <cstdio>
#include <memory>
#include <string>
#include <systemd/sd-bus.h>

namespace {

std::FILE *log_file = nullptr;

// Logs `line`, then answers `call` with `values` of the signature `types`.
int logged(sd_bus_message *call, const std::string &line, const char *types, auto... values) {
    std::fputs(line.c_str(), log_file);
    std::fflush(log_file);
    return sd_bus_reply_method_return(call, types, values...);
}

int notify(sd_bus_message *call, void *, sd_bus_error *) {
    const char *app = "", *icon = "", *summary = "", *body = "";
    uint32_t replaces = 0;
    sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
    return logged(call, std::string(summary) + " | " + body + "\n", "u", 1u);
}
int capabilities(sd_bus_message *call, void *, sd_bus_error *) {
    return logged(call, "", "as", 1, "body");
}
int information(sd_bus_message *call, void *, sd_bus_error *) {
    return logged(call, "", "ssss", "testbed", "tovu", "1", "1.2");
}
int close_notification(sd_bus_message *call, void *, sd_bus_error *) {
    return logged(call, "closed\n", "");
}

const sd_bus_vtable calls[] = {SD_BUS_VTABLE_START(0),
                               SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
                               SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, 0),
                               SD_BUS_METHOD("GetServerInformation", "", "ssss", information, 0),
                               SD_BUS_METHOD("CloseNotification", "u", "", close_notification, 0),
                               SD_BUS_VTABLE_END};

} // namespace

int main(int argc, char **argv) {
    sd_bus *raw = nullptr;
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(
        argc == 2 ? std::fopen(argv[1], "a") : nullptr, std::fclose);
    const std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)> bus(
        sd_bus_open_user(&raw) >= 0 ? raw : nullptr, sd_bus_flush_close_unref);
    log_file = file.get();
    if (!file || !bus ||
        sd_bus_add_object_vtable(raw, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", calls, nullptr) < 0 ||
        sd_bus_request_name(raw, "org.freedesktop.Notifications", 0) < 0) {
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        const int processed = sd_bus_process(raw, nullptr);
        if (processed < 0 || (processed == 0 && sd_bus_wait(raw, UINT64_MAX) < 0)) {
            return 1;
        }
    }
}
