// Temporary directories, files and the openssl command line for the tests
// that check the device against an independent implementation.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/objects/bytes.h"

namespace vexa::sim::test {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vexa-simcrypto-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path = made ? made : "";
    }
    ~TempDir() {
        if (!path.empty()) {
            std::system(("rm -rf '" + path + "'").c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Runs a shell command; its exit status, with standard output and error in *output.
inline int shell(const std::string& command, std::string* output = nullptr) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    std::string text;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        text.append(buf, n);
    }
    const int status = ::pclose(p);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vexa::sim::test
