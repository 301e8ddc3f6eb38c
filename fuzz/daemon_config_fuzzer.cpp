// The daemon's "vexa-daemon.json" loader and the settings built from it and
// a command line: any file, any arguments. Loading either gives an object or
// fails with its line; building never crashes or throws.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "daemon/settings.h"
#include "fuzz_dir.h"
#include "fuzz_quiet.h"
#include "fuzz_reader.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vexa::fuzz::silenceConsoleLines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = vexa::fuzz::enterPrivateDirectory();
    vexa::fuzz::Reader input(data, size);

    // A few arguments (count, then each behind its length byte), then the file.
    ArgumentList args;
    const size_t argCount = input.u8() % 7;
    for (size_t i = 0; i < argCount; ++i) {
        args.push_back(input.text());
    }
    const std::vector<uint8_t> rest = input.rest();
    const std::string file(rest.begin(), rest.end());
    const std::string path = dir + kDaemonConfigFileName;
    if (file.empty() && argCount == 0) {
        // The "no file at all" path.
        unlink(path.c_str());
    } else {
        vexa::fuzz::writeFile(path, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    }

    nlohmann::json config;
    const bool loaded = LoadDaemonConfig(config);
    if (loaded != config.is_object()) {
        std::abort();
    }
    const DaemonSettings settings = BuildDaemonSettings(args, config);
    for (const std::string* value : {&settings.caFile, &settings.certFile, &settings.keyFile}) {
        const std::string resolved = ResolveDataPath(*value, dir);
        if (resolved.size() < value->size()) {
            std::abort();
        }
    }
    ChooseCommand(args);
    ChooseRunMode(args);
    return 0;
}
