#include "support/temp_dir.h"

#include <filesystem>
#include <random>
#include <stdexcept>

namespace vexa::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) {
        throw std::runtime_error("no temporary directory: " + error.message());
    }
    std::random_device random;
    // create_directory fails on a name that exists: no other process or
    // test can have been handed the same directory.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / (prefix + "-" + std::to_string(random()));
        if (fs::create_directory(candidate, error)) {
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, error);
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("could not make a temporary directory in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

}  // namespace vexa::test
