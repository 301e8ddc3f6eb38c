// Fault-injection commands: carried out inside the running vexa-sim, and
// sent to it by `vexa-sim --socket PATH --control COMMAND`.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/device/virtual_device.h"

namespace vexa::sim {

// Carries out one command on the devices; returns true with a
// confirmation in `reply`, or false with the reason.
bool executeControl(const std::string& command,
                    const std::vector<std::unique_ptr<VirtualDevice>>& devices, std::string& reply);

// Sends `command` to the vexa-sim at socketPath; returns the exit status
// (0 when the simulator accepted it) after printing its reply.
int sendControl(const std::string& socketPath, const std::string& command);

}  // namespace vexa::sim
