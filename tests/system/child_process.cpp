#include "child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvex::systest {

ChildProcess::~ChildProcess() {
    stop(500);
}

bool ChildProcess::start(const Options& o, std::string* why) {
    if (o.argv.empty())
        return false;
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : o.env)
        env[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = o.argv;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // Reports exec failures back through a close-on-exec pipe.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(status[0]);
        close(status[1]);
        if (why)
            *why = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (!o.logFile.empty()) {
            const int fd = open(o.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
        }
        if (o.inheritFd >= 0) {
            const int flags = fcntl(o.inheritFd, F_GETFD);
            fcntl(o.inheritFd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        if (o.withoutFileOverride && geteuid() == 0) {
            // Out of the bounding set, root's exec no longer grants them.
            if (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0) {
                const int e = errno;
                [[maybe_unused]] ssize_t n = write(status[1], &e, sizeof e);
                _exit(127);
            }
        }
        execve(argv[0], argv.data(), envp.data());
        const int e = errno;
        [[maybe_unused]] ssize_t n = write(status[1], &e, sizeof e);
        _exit(127);
    }
    close(status[1]);
    int childErrno = 0;
    const ssize_t n = read(status[0], &childErrno, sizeof childErrno);
    close(status[0]);
    pid_ = pid;
    exitCode_ = -1;
    if (n == static_cast<ssize_t>(sizeof childErrno)) {
        if (why)
            *why = args[0] + ": " + std::strerror(childErrno);
        waitExit(2000);
        return false;
    }
    return true;
}

int ChildProcess::waitExit(int timeoutMs) {
    if (pid_ <= 0)
        return exitCode_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            return exitCode_;
        }
        if (r < 0) {
            pid_ = -1;
            return exitCode_;
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ChildProcess::running() {
    return pid_ > 0 && waitExit(0) == -1;
}

int ChildProcess::stop(int graceMs) {
    if (pid_ <= 0)
        return exitCode_;
    kill(pid_, SIGTERM);
    if (waitExit(graceMs) == -1) {
        kill(pid_, SIGKILL);
        waitExit(5000);
    }
    return exitCode_;
}

} // namespace orvex::systest
