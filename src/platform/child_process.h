// Running a helper program to its end and collecting what it writes.
#pragma once

#include <string>
#include <vector>

namespace vexa::platform {

struct ProgramResult {
    // errno of a program that could not be started (0 when it ran).
    int startError = 0;
    // Exit status of a program that exited; -1 when it was ended by a signal.
    int exitStatus = -1;
    // What it wrote, each stream kept up to kMaxProgramOutput bytes.
    std::string output;
    std::string errorOutput;

    bool succeeded() const { return startError == 0 && exitStatus == 0; }
};

inline constexpr size_t kMaxProgramOutput = 64 * 1024;

// Runs program (looked up in PATH when it has no '/') with the arguments,
// standard input from /dev/null, and waits for it to end. No shell is
// involved: the arguments reach the program as they are.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace vexa::platform
