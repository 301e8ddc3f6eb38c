// A program run as a child process for a test, its standard output and
// error collected as they come. The child is ended (SIGTERM, then SIGKILL)
// when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexa::test {

class ChildProcess {
public:
    // Starts program with args; env adds to (or replaces in) the test's own
    // environment, an empty value removes the variable. cwd "" keeps ours.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}, const std::string& cwd = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until the output (stdout or stderr) contains text.
    bool waitForStdout(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool waitForStderr(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until text occurs at least count times on stderr.
    bool waitForStderrCount(const std::string& text, size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));

    std::string out() const;
    std::string err() const;

    // Waits for the child to end; its exit status, or nothing on time-out
    // (or when it was ended by a signal: then -signal).
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // SIGTERM, then SIGKILL after a grace period; reaps the child.
    void stop();

private:
    void collect(int outFd, int errFd);
    bool waitFor(const std::string ChildProcess::*stream, const std::string& text, size_t count,
                 std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool outputEnded_ = false;
    std::thread reader_;
};

}  // namespace vexa::test
