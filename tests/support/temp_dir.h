// The one way tests make temporary directories: a fresh directory under the
// system's temporary directory, readable by its owner only, removed with
// everything in it when the object goes. Declared before the objects that
// keep files open in it, it outlives them (Windows removes no open file).
// Builds for Windows as well as Linux.
#pragma once

#include <string>

namespace vexa::test {

class TempDir {
public:
    // The name starts with prefix (keep it short: Unix socket paths made
    // in the directory must fit in 108 bytes). Throws std::runtime_error
    // when no directory can be made.
    explicit TempDir(const std::string& prefix = "vexa-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // A name inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace vexa::test
