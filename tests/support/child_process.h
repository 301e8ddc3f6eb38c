// The one way tests run programs: a child process whose standard output and
// error are collected as they come, standard input /dev/null (a child never
// reads the test runner's input). The child is ended (SIGTERM, then SIGKILL)
// when the object goes. POSIX only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexa::test {

// What a child's environment starts from, before the entries given to it.
enum class BaseEnvironment {
    Inherited,  // the test's own environment
    Minimal,    // a plain PATH and the sanitizer options only: nothing the test runner set
};

class ChildProcess {
public:
    // Starts program with args; env adds to (or replaces in) the base
    // environment, an empty value removes the variable. cwd "" keeps ours.
    // Throws std::runtime_error when the process cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}, const std::string& cwd = "",
                 BaseEnvironment base = BaseEnvironment::Inherited);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until the standard output (or error) contains text.
    bool waitForStdout(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool waitForStderr(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until text occurs at least count times on stderr.
    bool waitForStderrCount(const std::string& text, size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until done holds for the standard output collected so far.
    bool waitForStdoutWhere(const std::function<bool(const std::string&)>& done,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));

    std::string out() const;
    std::string err() const;

    // Waits for the child to end; its exit status, -signal when a signal
    // ended it, nothing on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // SIGTERM, then SIGKILL after a grace period; reaps the child.
    void stop();

private:
    void collect(int outFd, int errFd);
    bool waitFor(const std::string ChildProcess::*stream,
                 const std::function<bool(const std::string&)>& done,
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

// What a program run to its end did.
struct CommandResult {
    int status = -1;  // exit status; -1 on time-out, -signal when a signal ended it
    std::string out;
    std::string err;
    std::string all() const { return out + err; }
};

// Runs a program to its end (ended after the time-out, generous for a loaded
// machine); arguments as for ChildProcess.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& cwd = "",
                         std::chrono::milliseconds timeout = std::chrono::minutes(2),
                         BaseEnvironment base = BaseEnvironment::Inherited);

// A command line run by /bin/sh -c, to its end.
CommandResult RunShell(const std::string& command, const std::string& cwd = "");

// How often `what` occurs in text (overlapping occurrences count).
size_t CountOf(const std::string& text, const std::string& what);

}  // namespace vexa::test
