#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file_descriptor.h"

extern char** environ;

namespace vexa::platform {

namespace {

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;

    int open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return errno;
        }
        read.reset(fds[0]);
        write.reset(fds[1]);
        return 0;
    }
};

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Reads both pipes until the program has closed them, keeping at most
// kMaxProgramOutput bytes of each; the rest is read and dropped so that the
// program never blocks on a full pipe.
void collectOutput(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::string& sink = *sinks[i];
            size_t room = kMaxProgramOutput - sink.size();
            sink.append(buffer, std::min(static_cast<size_t>(n), room));
        }
    }
}

}  // namespace

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    ProgramResult result;
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    if (int e = out.open(); e != 0) {
        result.startError = e;
        return result;
    }
    if (int e = err.open(); e != 0) {
        result.startError = e;
        return result;
    }
    SpawnFileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), err.write.get(), STDERR_FILENO);

    pid_t pid = -1;
    int spawnError =
        posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (spawnError != 0) {
        result.startError = spawnError;
        return result;
    }
    // Only the child keeps the write ends; their end of file marks its exit.
    out.write.reset();
    err.write.reset();
    collectOutput(out.read.get(), err.read.get(), result.output, result.errorOutput);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.startError = errno;
            return result;
        }
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace vexa::platform
