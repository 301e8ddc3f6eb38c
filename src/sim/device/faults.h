// Fault injection. Faults are queued per device and each is used up by the
// device's next response to a message (channel allocations are not
// affected):
//   drop          the request is carried out, its response never sent
//   delay MS      the request is carried out, its response held back MS ms
//   error [CODE]  the request is not carried out; the answer is an error
//                 packet with CODE (default 127) in the U2FHID framing, a
//                 report with the invalid packet id 0xFF in the plain one
//   garbage       the request is not carried out; the answer is a
//                 well-framed message that is not a Response
// and, at once rather than queued:
//   vanish MS     the device disappears for MS ms: it is missing from the
//                 enumeration, cannot be opened, open connections to it
//                 fail from then on, and its sessions are lost as on a real
//                 unplug; afterwards it can be opened again
//   clear         forget the queued faults
// A control command names the device by index (0, 1, ...) or by serial
// number: "drop 0", "delay 1 3000", "error 0 4", "vanish A1B2C3D4E5F6 500".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexa::sim {

struct Fault {
    enum class Kind : uint8_t { Drop, Delay, Error, Garbage };
    Kind kind = Kind::Drop;
    uint32_t value = 0;  // Delay: milliseconds; Error: the code
};

struct ControlCommand {
    enum class Action : uint8_t { Queue, Vanish, Clear, Opens };
    Action action = Action::Queue;
    std::string device;         // index or serial number, as given
    Fault fault;                // Action::Queue
    uint32_t milliseconds = 0;  // Action::Vanish
};

// Parses one control command; nullopt with `error` set when it is not one.
std::optional<ControlCommand> parseControlCommand(const std::string& text, std::string& error);

// The lines of --help that describe the control commands.
const char* controlCommandHelp();

}  // namespace vexa::sim
