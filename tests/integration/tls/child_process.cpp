#include "integration/tls/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vexa::test {

namespace {

size_t CountOccurrences(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env, const std::string& cwd) {
    // Everything the child needs is prepared before fork.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [name, value] : env) {
        if (!value.empty()) {
            envStrings.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // The program starts as a service manager would start it: default
        // signal dispositions (SIGPIPE ends it) and no blocked signals,
        // whatever the test runner inherited.
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) {
            signal(sig, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    reader_ = std::thread(&ChildProcess::collect, this, outPipe[0], errPipe[0]);
}

ChildProcess::~ChildProcess() {
    stop();
    if (reader_.joinable()) {
        reader_.join();
    }
}

void ChildProcess::collect(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
            changed_.notify_all();
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            ::close(f.fd);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outputEnded_ = true;
    changed_.notify_all();
}

bool ChildProcess::waitFor(const std::string ChildProcess::*stream, const std::string& text,
                           size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return CountOccurrences(this->*stream, text) >= count; });
}

bool ChildProcess::waitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(&ChildProcess::out_, text, 1, timeout);
}

bool ChildProcess::waitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(&ChildProcess::err_, text, 1, timeout);
}

bool ChildProcess::waitForStderrCount(const std::string& text, size_t count,
                                      std::chrono::milliseconds timeout) {
    return waitFor(&ChildProcess::err_, text, count, timeout);
}

std::string ChildProcess::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string ChildProcess::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        usleep(5000);
    }
    // Everything the child wrote is collected before its status is given.
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, deadline + std::chrono::seconds(5),
                            [this] { return outputEnded_; });
    }
    if (WIFEXITED(status_)) {
        return WEXITSTATUS(status_);
    }
    return -WTERMSIG(status_);
}

void ChildProcess::stop() {
    if (pid_ <= 0 || reaped_) {
        return;
    }
    kill(pid_, SIGTERM);
    if (!waitExit(std::chrono::seconds(10))) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
}

}  // namespace vexa::test
