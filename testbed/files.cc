#include "files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <linux/magic.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace sandbox {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode) {
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool is_on_overlay(const std::string &path) {
    struct statfs st {};
    return statfs(path.c_str(), &st) == 0 && st.f_type == OVERLAYFS_SUPER_MAGIC;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

Shell shell(const std::string &script) {
    Shell result;
    FILE *pipe = popen(("exec 2>&1\n" + script).c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        result.out.append(chunk, n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace sandbox
