// A private working directory for the fuzz targets that read files: made
// once per process under $TMPDIR (or /tmp) and entered, so that the files a
// target writes never land in the user's directory.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vexa::fuzz {

inline const std::string& enterPrivateDirectory() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexa-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
            std::abort();
        }
        return pattern + "/";
    }();
    return dir;
}

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace vexa::fuzz
