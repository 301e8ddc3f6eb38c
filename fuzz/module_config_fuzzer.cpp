// The module's configuration loader on any "vexaconfig.json": it must apply
// what it can, log a failure for the rest and never crash, throw or leave a
// setting outside its range.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "config/module_config.h"
#include "fuzz_dir.h"

namespace {

using nlohmann::json;

// The loader opens the log file a document names, which could be any path
// on this machine. A document that parses and names another log file is
// rewritten with "/dev/null" in its place; every other document is read
// byte for byte as the fuzzer made it.
std::string contained(const uint8_t* data, size_t size, bool& rewritten) {
    std::string text(reinterpret_cast<const char*>(data), size);
    rewritten = false;
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        return text;
    }
    auto logging = root.find("logging");
    if (logging == root.end() || !logging->is_object()) {
        return text;
    }
    auto file = logging->find("logfile");
    if (file == logging->end() || !file->is_string() || file->get<std::string>() == "/dev/null") {
        return text;
    }
    *file = "/dev/null";
    rewritten = true;
    return root.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = vexa::fuzz::privateDirectory() + "vexaconfig.json";
    bool rewritten = false;
    const std::string text = contained(data, size, rewritten);
    vexa::fuzz::writeFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());

    std::ostringstream console;
    talvoranth::CLogger log(&console);
    talvoranth::ModuleConfig config;
    loadModuleConfigFile(log, config, path);

    // Whatever the file said, the settings stay usable.
    if (config.timeoutMs < 0 || config.keyTimeoutMs < 0) {
        std::abort();
    }
    if (config.ipTransport && (!config.hasPort || config.port < 1 || config.port > 65535)) {
        std::abort();
    }
    if (log.logFileOpen() && log.logFilePath() != "/dev/null") {
        std::abort();
    }
    return 0;
}
