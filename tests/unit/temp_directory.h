// A fresh, empty directory under the system's temporary directory for one
// test; the caller removes it.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace vexa::test {

// "" when no directory could be made.
inline std::string makeTemporaryDirectory(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::random_device random;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    for (int attempt = 0; !error && attempt < 100; ++attempt) {
        const fs::path path = base / (prefix + "-" + std::to_string(random()));
        if (fs::create_directory(path, error)) {
            return path.string();
        }
    }
    return {};
}

// Removes a directory tree when it goes out of scope. Declared before the
// objects that keep files open in it, it outlives them: Windows removes no
// file that is still open.
struct RemoveOnExit {
    std::string path;
    ~RemoveOnExit() {
        std::error_code ignored;
        if (!path.empty()) {
            std::filesystem::remove_all(path, ignored);
        }
    }
};

}  // namespace vexa::test
