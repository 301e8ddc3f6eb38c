// A private directory for the fuzz targets that read files, made once per
// process under $TMPDIR (or /tmp): privateDirectory() only makes it,
// enterPrivateDirectory() also makes it the working directory (for loaders
// that look for their file there), so that the files a target writes never
// land in the user's directory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vexa::fuzz {

inline const std::string& privateDirectory() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vexa-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern + "/";
    }();
    return dir;
}

inline const std::string& enterPrivateDirectory() {
    static const bool entered = chdir(privateDirectory().c_str()) == 0;
    if (!entered) {
        std::abort();
    }
    return privateDirectory();
}

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace vexa::fuzz
