// Stand-in tovu-processor for the benchmarks: its first act is to write the
// CLOCK_MONOTONIC time at which it started, in nanoseconds, to the file named
// by TOVU_BENCH_STAMP. Linked statically so that it starts as fast as a
// program can.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

int main() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const char *path = std::getenv("TOVU_BENCH_STAMP");
    if (path == nullptr) {
        return 1;
    }
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%lld\n",
                                static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || n <= 0 || write(fd, text, static_cast<size_t>(n)) != n) {
        return 1;
    }
    close(fd);
    return 0;
}
