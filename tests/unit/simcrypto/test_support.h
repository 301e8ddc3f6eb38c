// Files and the openssl command line for the tests that check the device
// against an independent implementation.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "sim/objects/bytes.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexa::sim::test {

using ::vexa::test::TempDir;

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Runs the openssl command line and expects success; what it wrote.
inline std::string openssl(const std::string& args) {
    const ::vexa::test::CommandResult result = ::vexa::test::RunShell("openssl " + args);
    EXPECT_EQ(result.status, 0) << args << "\n" << result.all();
    return result.all();
}

}  // namespace vexa::sim::test
