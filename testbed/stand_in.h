// What the stand-in libraries that tests preload into the program share: a
// call log and switches, both named by environment variables, and leaving the
// programs that the run starts alone.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace stand_in {

// A stand-in is for the program under test only. The shells, mkdir, the
// players, arecord and the processor that the program starts must run as
// they do for a user, without a stand-in, and in a sanitizer build without
// the sanitizer runtime that the stand-in brings. So once a stand-in finds
// itself in the program (the process that has libvosk loaded; every
// preloaded library and every library the program needs is loaded by then),
// it takes the preload (and the testbed's LD_LIBRARY_PATH that finds it) out
// of the environment, as the benchmarks' probe does. Processes on the way to
// the program, such as the shell script that starts valgrind, pass it on.
__attribute__((constructor)) static void leave_the_children_alone() {
    if (void *vosk = dlopen("libvosk.so", RTLD_LAZY | RTLD_NOLOAD)) {
        dlclose(vosk);
        unsetenv("LD_PRELOAD");
        unsetenv("LD_LIBRARY_PATH");
    }
}

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
