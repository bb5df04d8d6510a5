// What the stand-in libraries that tests preload into the program share: a
// call log and switches, both named by environment variables.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stand_in {

// Appends one line, formatted as by printf, to the file named by the
// environment variable `log_variable`; nothing when it is not set.
inline void log_line(const char *log_variable, const char *format, va_list args) {
    const char *path = std::getenv(log_variable);
    if (path == nullptr) {
        return;
    }
    std::FILE *log = std::fopen(path, "a");
    if (log == nullptr) {
        return;
    }
    std::vfprintf(log, format, args);
    std::fputc('\n', log);
    std::fclose(log);
}

// Whether the environment variable `name` is set to `value`.
inline bool wants(const char *name, const char *value) {
    const char *set = std::getenv(name);
    return set != nullptr && std::strcmp(set, value) == 0;
}

} // namespace stand_in
