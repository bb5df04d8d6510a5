// Whole files, their lines, and the shell: what the tests and the benchmarks
// both do around a run.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// The whole file; "" when it cannot be read.
std::string read_file(const std::string &path);
// Creates the file (and its folder) with `content` and `mode`.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
bool exists(const std::string &path); // lstat: links count too
std::vector<std::string> read_lines(const std::string &path);
// Whether `path` lies on an overlay file system.
bool is_on_overlay(const std::string &path);

// Single-quoted for the shell.
std::string quote(const std::string &s);

// A shell command run on the host (not in a sandbox).
struct Shell {
    int status = -1;
    std::string out; // standard output and standard error
};
Shell shell(const std::string &script);

} // namespace sandbox
