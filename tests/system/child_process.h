#pragma once

// A program started by the harness: its own environment, output to a file,
// optionally without the capabilities that let root open any file.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace orvex::systest {

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        // Added to (or replacing) the harness's own environment.
        std::map<std::string, std::string> env;
        // stdout and stderr go here ("" keeps the harness's).
        std::string logFile;
        // Drop CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH (only matters for root),
        // so file modes apply to the program as to a normal user.
        bool withoutFileOverride = false;
        // Extra descriptor handed to the child under the same number.
        int inheritFd = -1;
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Returns false (with a reason) when fork or exec failed.
    bool start(const Options& options, std::string* why = nullptr);
    bool running();
    // SIGTERM, then SIGKILL after `graceMs`; returns the wait status.
    int stop(int graceMs = 2000);
    // Waits up to `timeoutMs` for the child to end; -1 when it is still running.
    int waitExit(int timeoutMs);
    pid_t pid() const { return pid_; }
    // The child's exit code, or 128 + signal; -1 while it runs.
    int exitCode() const { return exitCode_; }

private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

} // namespace orvex::systest
