#include "sim/server/control.h"

#include <cstdio>

#include "sim/device/faults.h"
#include "device_link/virtual_wire.h"

namespace vexa::sim {

namespace {

namespace wire = vexa::virtual_wire;

constexpr int kReplyTimeoutMs = 10000;

VirtualDevice* findDevice(const std::string& name,
                          const std::vector<std::unique_ptr<VirtualDevice>>& devices) {
    for (const auto& device : devices) {
        if (device->config().serial == name || std::to_string(device->config().index) == name) {
            return device.get();
        }
    }
    return nullptr;
}

}  // namespace

bool executeControl(const std::string& command,
                    const std::vector<std::unique_ptr<VirtualDevice>>& devices,
                    std::string& reply) {
    std::optional<ControlCommand> parsed = parseControlCommand(command, reply);
    if (!parsed) {
        return false;
    }
    VirtualDevice* device = findDevice(parsed->device, devices);
    if (device == nullptr) {
        reply = "no device \"" + parsed->device + "\"";
        return false;
    }
    switch (parsed->action) {
        case ControlCommand::Action::Queue:
            device->queueFault(parsed->fault);
            break;
        case ControlCommand::Action::Vanish:
            device->vanish(parsed->milliseconds);
            break;
        case ControlCommand::Action::Clear:
            device->clearFaults();
            break;
        case ControlCommand::Action::Opens:
            reply = "opened " + std::to_string(device->opens());
            return true;
    }
    reply = "ok: " + command;
    return true;
}

int sendControl(const std::string& socketPath, const std::string& command) {
    wire::Channel channel = wire::connectTo(socketPath);
    if (!channel.isOpen()) {
        std::fprintf(stderr, "vexa-sim: no vexa-sim listens on %s\n", socketPath.c_str());
        return 1;
    }
    std::vector<uint8_t> reply;
    const bool sent = channel.send(wire::Writer(wire::CONTROL).str(command).bytes());
    const long n = sent ? channel.receive(reply, kReplyTimeoutMs) : -1;
    if (n <= 0 || reply[0] != wire::CONTROL_REPLY) {
        std::fprintf(stderr, "vexa-sim: no answer from %s\n", socketPath.c_str());
        return 1;
    }
    wire::Reader in(reply.data() + 1, static_cast<size_t>(n) - 1);
    const uint8_t status = in.u8();
    const std::string text = in.str();
    if (!in.ok()) {
        std::fprintf(stderr, "vexa-sim: malformed answer from %s\n", socketPath.c_str());
        return 1;
    }
    std::fprintf(status == 0 ? stdout : stderr, "vexa-sim: %s\n", text.c_str());
    return status == 0 ? 0 : 1;
}

}  // namespace vexa::sim
