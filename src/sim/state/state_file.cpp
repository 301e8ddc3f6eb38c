#include "sim/state/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file_descriptor.h"
#include "sim/objects/bytes.h"

namespace vexa::sim {

namespace {

constexpr const char* kFormat = "vexa-sim state";
constexpr int kVersion = 1;
constexpr size_t kLabelLength = 32;

using nlohmann::json;

// A byte string of the file: hexadecimal text, digits in either case.
bool fromHex(const json& value, Bytes& out) {
    return value.is_string() && sim::fromHex(value.get_ref<const std::string&>(), &out);
}

json pinToJson(const PinRecord& pin) {
    if (!pin.set) {
        return nullptr;
    }
    return json{{"salt", toHex(pin.salt)},
                {"hash", toHex(pin.hash)},
                {"iterations", pin.iterations},
                {"failures", pin.failures}};
}

bool readCount(const json& entry, const char* key, uint32_t& out) {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu) {
        return false;
    }
    out = it->get<uint32_t>();
    return true;
}

// Bounds on what a state file may ask of a PIN check: more rounds than this
// would make a login hang the device (the firmware writes 10000), a longer
// salt is no record it wrote.
constexpr uint32_t kMaxPinIterations = 1000000;
constexpr size_t kMaxSaltLength = 64;

bool pinFromJson(const json& value, PinRecord& pin) {
    pin = PinRecord{};
    if (value.is_null()) {
        return true;
    }
    if (!value.is_object() || !value.contains("salt") || !value.contains("hash") ||
        !fromHex(value["salt"], pin.salt) || !fromHex(value["hash"], pin.hash) ||
        !readCount(value, "iterations", pin.iterations) ||
        !readCount(value, "failures", pin.failures) || pin.iterations == 0 ||
        pin.iterations > kMaxPinIterations || pin.salt.empty() ||
        pin.salt.size() > kMaxSaltLength || pin.hash.size() != 32) {
        return false;
    }
    // Any count from the limit on means locked; a larger one says no more.
    pin.failures = std::min(pin.failures, kMaxPinFailures);
    pin.set = true;
    return true;
}

// Writes all of `text` to fd.
std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

json tokenToJson(const Token& token) {
    json entry;
    entry["label"] = toHex(token.label);
    entry["initialised"] = token.initialised;
    entry["so_pin"] = pinToJson(token.soPin);
    entry["user_pin"] = pinToJson(token.userPin);
    entry["objects"] = token.extension ? token.extension->saveObjects() : json(nullptr);
    return entry;
}

bool tokenFromJson(const json& entry, Token& token, std::string& error) {
    Bytes label;
    PinRecord so;
    PinRecord user;
    if (!entry.is_object() || !entry.contains("label") || !fromHex(entry["label"], label) ||
        label.size() != kLabelLength) {
        error = "bad label";
        return false;
    }
    if (!entry.contains("initialised") || !entry["initialised"].is_boolean()) {
        error = "bad initialised flag";
        return false;
    }
    if (!entry.contains("so_pin") || !pinFromJson(entry["so_pin"], so)) {
        error = "bad SO PIN record";
        return false;
    }
    if (!entry.contains("user_pin") || !pinFromJson(entry["user_pin"], user)) {
        error = "bad user PIN record";
        return false;
    }
    const json objects = entry.contains("objects") ? entry["objects"] : json(nullptr);
    if (token.extension && !token.extension->loadObjects(objects)) {
        error = "bad objects";
        return false;
    }
    token.label = std::move(label);
    token.initialised = entry["initialised"].get<bool>();
    token.soPin = std::move(so);
    token.userPin = std::move(user);
    return true;
}

bool StateStore::load(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    root_ = json{{"format", kFormat}, {"version", kVersion}, {"tokens", json::object()}};
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    json root = json::parse(text.str(), nullptr, false);
    const auto format = root.is_object() ? root.find("format") : root.end();
    if (root.is_discarded() || !root.is_object() || format == root.end() || *format != kFormat) {
        error = path + " is not a vexa-sim state file";
        return false;
    }
    if (!root.contains("version") || root["version"] != kVersion) {
        error = path + " has a state format version this vexa-sim does not know";
        return false;
    }
    if (!root.contains("tokens") || !root["tokens"].is_object()) {
        error = path + " has no token list";
        return false;
    }
    root_ = std::move(root);
    return true;
}

bool StateStore::restore(Token& token, std::string& error) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const json& tokens = root_["tokens"];
    auto it = tokens.find(token.serial);
    if (it == tokens.end()) {
        return true;
    }
    std::string why;
    if (!tokenFromJson(*it, token, why)) {
        error = path_ + ": token " + token.serial + ": " + why;
        return false;
    }
    return true;
}

bool StateStore::save(const Token& token, std::string& error) {
    json entry = tokenToJson(token);
    std::lock_guard<std::mutex> lock(mutex_);
    root_["tokens"][token.serial] = std::move(entry);
    return write(error);
}

bool StateStore::write(std::string& error) {
    const std::string text = root_.dump(2) + "\n";
    // A new file under a name nobody can guess or prepare (a link placed
    // there would otherwise redirect the write), owner-only (mode 0600 from
    // mkostemp): it holds PIN hashes and key material.
    std::string temporary = path_ + ".tmp.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = platform::writeAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        error = "cannot write " + temporary + ": " + std::strerror(savedErrno);
        return false;
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        error = "cannot replace " + path_ + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dir = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace vexa::sim
