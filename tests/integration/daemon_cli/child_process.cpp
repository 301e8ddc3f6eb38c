#include "integration/daemon_cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workingDirectory,
                           const std::vector<std::string>& environment) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> argvTexts = args;
    argvTexts.insert(argvTexts.begin(), program);
    std::vector<std::string> envTexts = environment;
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);

    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(workingDirectory.c_str()) != 0 || dup2(outPipe[1], 1) < 0 ||
            dup2(errPipe[1], 2) < 0) {
            _exit(126);
        }
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, 0);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (pid_ < 0) {
        closeFd(outFd_);
        closeFd(errFd_);
        throw std::runtime_error("fork failed");
    }
}

ChildProcess::~ChildProcess() {
    killAndReap();
    closeFd(outFd_);
    closeFd(errFd_);
}

bool ChildProcess::pump(std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2];
    int count = 0;
    for (int fd : {outFd_, errFd_}) {
        if (fd >= 0) {
            fds[count++] = {fd, POLLIN, 0};
        }
    }
    if (count == 0) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
        return false;
    }
    for (int i = 0; i < count && ready > 0; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        const bool isOut = fds[i].fd == outFd_;
        if (n > 0) {
            (isOut ? out_ : err_).append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            closeFd(isOut ? outFd_ : errFd_);
        }
    }
    return true;
}

bool ChildProcess::waitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(out_)) {
        if (!pump(deadline)) {
            return done(out_);
        }
    }
    return true;
}

int ChildProcess::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pump(deadline)) {
    }
    if (outFd_ >= 0 || errFd_ >= 0) {
        killAndReap();  // still running at the deadline
        return -1;
    }
    // Both streams are closed; the exit follows, unless the child closed
    // them itself and runs on.
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            killAndReap();
            return -1;
        }
        usleep(10000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::killAndReap() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}
