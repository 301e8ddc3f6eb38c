// Runs a program to its end for a test and keeps everything it wrote.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vexa::test {

struct CommandResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs program with args in cwd. env adds to (or replaces in) the test's
// own environment; an empty value removes the variable. Standard input is
// /dev/null.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& cwd);

}  // namespace vexa::test
