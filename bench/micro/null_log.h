// A log target that drops every line: the benchmarks measure the code, not
// the writing of its log.
#pragma once

#include <string>

#include "log/log_target.h"

namespace vexa::bench {

class CNullLog : public talvoranth::ILogTarget {
public:
    void log(int, const char*, ...) override {}
    void log(int, const std::string&) override {}
};

}  // namespace vexa::bench
