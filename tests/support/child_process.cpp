#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vexa::test {

namespace {

// The entries a child's environment starts from.
std::vector<std::string> BaseEntries(BaseEnvironment base) {
    std::vector<std::string> entries;
    if (base == BaseEnvironment::Inherited) {
        for (char** e = environ; *e != nullptr; ++e) {
            entries.emplace_back(*e);
        }
        return entries;
    }
    entries.emplace_back("PATH=/usr/local/bin:/usr/bin:/bin");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            entries.push_back(std::string(name) + "=" + value);
        }
    }
    return entries;
}

}  // namespace

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env, const std::string& cwd,
                           BaseEnvironment base) {
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> envStrings;
    for (std::string& entry : BaseEntries(base)) {
        if (env.count(entry.substr(0, entry.find('='))) == 0) {
            envStrings.push_back(std::move(entry));
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
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            ::close(fd);
        }
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
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(outPipe[1], STDOUT_FILENO) < 0 ||
            dup2(errPipe[1], STDERR_FILENO) < 0) {
            _exit(126);
        }
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

bool ChildProcess::waitFor(const std::string ChildProcess::*stream,
                           const std::function<bool(const std::string&)>& done,
                           std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(this->*stream); });
}

bool ChildProcess::waitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForStdoutWhere(
        [&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::waitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForStderrCount(text, 1, timeout);
}

bool ChildProcess::waitForStderrCount(const std::string& text, size_t count,
                                      std::chrono::milliseconds timeout) {
    return waitFor(
        &ChildProcess::err_, [&](const std::string& err) { return CountOf(err, text) >= count; },
        timeout);
}

bool ChildProcess::waitForStdoutWhere(const std::function<bool(const std::string&)>& done,
                                      std::chrono::milliseconds timeout) {
    return waitFor(&ChildProcess::out_, done, timeout);
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

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& cwd,
                         std::chrono::milliseconds timeout, BaseEnvironment base) {
    ChildProcess child(program, args, env, cwd, base);
    CommandResult result;
    result.status = child.waitExit(timeout).value_or(-1);
    child.stop();
    result.out = child.out();
    result.err = child.err();
    return result;
}

CommandResult RunShell(const std::string& command, const std::string& cwd) {
    return RunCommand("/bin/sh", {"-c", command}, {}, cwd);
}

}  // namespace vexa::test
