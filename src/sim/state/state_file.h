// The state file (--state FILE): each token's persistent state, kept
// across restarts. JSON:
//
//   { "format": "vexa-sim state", "version": 1,
//     "tokens": { "<serial>": {
//         "label": "<32 bytes, hex>", "initialised": true,
//         "so_pin":   { "salt": hex, "hash": hex, "iterations": n, "failures": n },
//         "user_pin": { ... } or null when not set,
//         "objects":  <the object store's own value, or null> } } }
//
// PINs are kept only as salted PBKDF2 hashes. Sessions and login state are
// not kept (a restart is a power cycle). Tokens of serial numbers that
// this run does not present stay in the file untouched.
//
// Every write replaces the file atomically: the new content goes to a
// temporary file in the same directory, is flushed to disk, then renamed
// over the old one, so a crash leaves either the old or the new state.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/firmware/token.h"

namespace vexa::sim {

class StateStore {
public:
    // Reads the file; a missing file is an empty state. False (with
    // `error`) when the file cannot be read or is not a state file.
    bool load(const std::string& path, std::string& error);

    // Restores the token with the token's serial number, if the file has
    // it. False (with `error`) when that entry is malformed.
    bool restore(Token& token, std::string& error) const;

    // Records the token's persistent state and rewrites the file. False
    // (with `error`) when the file cannot be written.
    bool save(const Token& token, std::string& error);

private:
    bool write(std::string& error);

    mutable std::mutex mutex_;
    std::string path_;
    nlohmann::json root_;
};

nlohmann::json tokenToJson(const Token& token);
// Fills the token's persistent fields; false with `error` when malformed.
bool tokenFromJson(const nlohmann::json& entry, Token& token, std::string& error);

}  // namespace vexa::sim
