// Runs a program as a child process with a chosen working directory and
// environment, capturing its standard output and standard error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class ChildProcess {
public:
    // Starts `program` with `args` (argv[0] is the program path). Throws
    // std::runtime_error when the process cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDirectory, const std::vector<std::string>& environment);
    // Kills the child if it still runs and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads until `done` holds for the standard output read so far, both
    // streams close or the time-out passes. Returns whether `done` held.
    bool waitForOutput(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds timeout);

    // Reads both streams to their end and waits for the exit. Returns the exit
    // status, or -1 when the child was killed (by the time-out or a signal).
    int finish(std::chrono::milliseconds timeout);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // One poll round over the open pipes; false when both are closed.
    bool pump(std::chrono::steady_clock::time_point deadline);
    void killAndReap();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

// The environment for a child: a plain PATH, the sanitizer options of this
// process, and `extra` ("NAME=value" entries).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra = {});
