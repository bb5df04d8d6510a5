#include "child.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

namespace {

std::vector<char *> pointers(const std::vector<std::string> &strings) {
    std::vector<char *> list;
    for (const std::string &s : strings) {
        list.push_back(const_cast<char *>(s.c_str()));
    }
    list.push_back(nullptr);
    return list;
}

} // namespace

Child spawn(const Spawn &how) {
    Child child;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        child.error = std::string("pipe: ") + std::strerror(errno);
        return child;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        child.error = std::string("pipe: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return child;
    }
    // Everything the child needs is made before the fork.
    const std::vector<char *> argv = pointers(how.argv);
    const char *file = how.file.empty() ? argv[0] : how.file.c_str();
    const std::vector<char *> envp = how.env ? pointers(*how.env) : std::vector<char *>{};
    char *const *environment = how.env ? envp.data() : environ;

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (!how.run_root.empty() && !enter_run_root(how.run_root, how.machine_share)) {
            std::perror("sandbox: private mount namespace");
            _exit(126);
        }
        if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) {
            std::perror(how.cwd.c_str());
            _exit(126);
        }
        if (how.before_exec) {
            how.before_exec();
        }
        execvpe(file, argv.data(), environment);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        child.error = std::string("fork: ") + std::strerror(errno);
        close(out[0]);
        close(err[0]);
        return child;
    }
    child.pid = pid;
    child.output.fds[0] = out[0];
    child.output.fds[1] = err[0];
    return child;
}

Ended reap(pid_t pid) {
    Ended ended;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return ended;
    }
    ended.reaped = true;
    ended.max_rss_kb = usage.ru_maxrss;
    ended.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) {
        ended.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        ended.signal = WTERMSIG(status);
    }
    return ended;
}

} // namespace sandbox
