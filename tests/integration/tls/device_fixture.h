// The device side of the TLS tests: a real vexa-sim process, and the one
// remote call the tests send through the daemon (C_GetTokenInfo, which
// answers with the device's own serial number).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vexa::test {

class SimDevice {
public:
    // One virtual device with this serial number (12 hexadecimal digits),
    // listening on socketPath; the device asks for no settling time.
    SimDevice(const std::string& socketPath, const std::string& serial);
    // Ended (and its socket removed) when the object goes.
    ~SimDevice() = default;

    bool ready() const { return ready_; }
    const std::string& socketPath() const { return socketPath_; }
    const std::string& serial() const { return serial_; }
    // The device vanishes: the simulator ends.
    void stop() { process_->stop(); }
    // Sends a fault-injection command ("delay 0 1500", ...); true when taken.
    bool control(const std::string& command) const;

private:
    std::string socketPath_;
    std::string serial_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// A console run of the real vexa-daemon on 127.0.0.1:port for the device
// with this serial number, reached through the vexa-sim at simSocket; the
// key is unencrypted; extraArgs follow the others. It runs in cwd (a directory without a
// "vexa-daemon.json") and is ended when the object goes.
std::unique_ptr<ChildProcess> StartDaemon(const std::string& serial, int port,
                                          const std::string& simSocket, const std::string& caFile,
                                          const std::string& certFile, const std::string& keyFile,
                                          const std::string& cwd,
                                          const std::vector<std::string>& extraArgs = {});

// An encoded C_GetTokenInfo request.
std::vector<unsigned char> TokenInfoRequest();

// Decodes a Response to C_GetTokenInfo; true when it parses, with its rv
// and the token's serial number (blanks removed).
bool DecodeTokenInfo(const std::vector<unsigned char>& answer, unsigned* rv, std::string* serial);

}  // namespace vexa::test
