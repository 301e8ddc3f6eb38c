#include "sim/device/faults.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace vexa::sim {

namespace {

// Delays and absences are capped at ten minutes: long enough for any test.
constexpr uint32_t kMaxMilliseconds = 600000;

bool parseNumber(const std::string& text, uint32_t max, uint32_t& out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > max) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

struct Verb {
    const char* name;
    ControlCommand::Action action;
    Fault::Kind kind;
    size_t minArgs;  // after the device
    size_t maxArgs;
    uint32_t defaultValue;
    uint32_t maxValue;
};

const Verb kVerbs[] = {
    {"drop", ControlCommand::Action::Queue, Fault::Kind::Drop, 0, 0, 0, 0},
    {"delay", ControlCommand::Action::Queue, Fault::Kind::Delay, 1, 1, 0, kMaxMilliseconds},
    {"error", ControlCommand::Action::Queue, Fault::Kind::Error, 0, 1, 127, 255},
    {"garbage", ControlCommand::Action::Queue, Fault::Kind::Garbage, 0, 0, 0, 0},
    {"vanish", ControlCommand::Action::Vanish, Fault::Kind::Drop, 1, 1, 0, kMaxMilliseconds},
    {"clear", ControlCommand::Action::Clear, Fault::Kind::Drop, 0, 0, 0, 0},
    {"opens", ControlCommand::Action::Opens, Fault::Kind::Drop, 0, 0, 0, 0},
};

}  // namespace

std::optional<ControlCommand> parseControlCommand(const std::string& text, std::string& error) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    if (words.empty()) {
        error = "empty control command";
        return std::nullopt;
    }
    for (const Verb& verb : kVerbs) {
        if (words[0] != verb.name) {
            continue;
        }
        const size_t args = words.size() < 2 ? 0 : words.size() - 2;
        if (words.size() < 2 || args < verb.minArgs || args > verb.maxArgs) {
            error = std::string("wrong number of arguments for \"") + verb.name + "\"";
            return std::nullopt;
        }
        ControlCommand command;
        command.action = verb.action;
        command.device = words[1];
        command.fault.kind = verb.kind;
        uint32_t value = verb.defaultValue;
        if (args == 1 && !parseNumber(words[2], verb.maxValue, value)) {
            error = "bad number \"" + words[2] + "\" for \"" + verb.name + "\"";
            return std::nullopt;
        }
        command.fault.value = value;
        command.milliseconds = value;
        return command;
    }
    error = "unknown control command \"" + words[0] + "\"";
    return std::nullopt;
}

const char* controlCommandHelp() {
    return "  drop D          the next response of device D is not sent (the request is carried "
           "out)\n"
           "  delay D MS      the next response of device D is held back MS milliseconds\n"
           "  error D [CODE]  device D answers the next request with an error packet (U2FHID,\n"
           "                  code CODE, default 127) or an invalid packet id (plain framing)\n"
           "  garbage D       device D answers the next request with bytes that are no Response\n"
           "  vanish D MS     device D disappears now for MS milliseconds (sessions are lost)\n"
           "  clear D         forget the faults queued for device D\n"
           "  opens D         how many times hosts have opened device D\n"
           "  D is a device index (0, 1, ...) or a serial number.\n";
}

}  // namespace vexa::sim
