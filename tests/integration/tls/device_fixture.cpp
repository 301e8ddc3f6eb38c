#include "integration/tls/device_fixture.h"

#include <map>

#include <pb_decode.h>
#include <pb_encode.h>

#include "integration/tls/test_env.h"
#include "rpc/function_ids.h"
#include "vexa.pb.h"

namespace vexa::test {

SimDevice::SimDevice(const std::string& socketPath, const std::string& serial)
    : socketPath_(socketPath), serial_(serial) {
    process_ = std::make_unique<ChildProcess>(
        BinDir() + "/vexa-sim",
        std::vector<std::string>{"--socket", socketPath, "--serial", serial, "--settle-ms", "0"});
    ready_ = process_->waitForStdout("vexa-sim: ready");
}

bool SimDevice::control(const std::string& command) const {
    ChildProcess sender(BinDir() + "/vexa-sim", {"--socket", socketPath_, "--control", command});
    return sender.waitExit() == 0;
}

std::unique_ptr<ChildProcess> StartDaemon(const std::string& serial, int port,
                                          const std::string& simSocket, const std::string& caFile,
                                          const std::string& certFile, const std::string& keyFile,
                                          const std::string& cwd,
                                          const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"-d",  serial, "-i",   "127.0.0.1", "-p",   std::to_string(port),
                                  "-ca", caFile, "-crt", certFile,    "-key", keyFile};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return std::make_unique<ChildProcess>(
        BinDir() + "/vexa-daemon", args,
        std::map<std::string, std::string>{{"VEXA_VIRTUAL_DEVICE", simSocket},
                                           {"VEXA_KEY_PASS", ""}},
        cwd);
}

std::vector<unsigned char> TokenInfoRequest() {
    Request request = Request_init_zero;
    request.function_id = static_cast<uint32_t>(vexa::rpc::FunctionId::GetTokenInfo);
    std::vector<unsigned char> bytes(256);
    pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&stream, Request_fields, &request)) {
        return {};
    }
    bytes.resize(stream.bytes_written);
    return bytes;
}

bool DecodeTokenInfo(const std::vector<unsigned char>& answer, unsigned* rv, std::string* serial) {
    Response response = Response_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(answer.data(), answer.size());
    if (!pb_decode(&stream, Response_fields, &response)) {
        return false;
    }
    *rv = response.rv;
    serial->assign(reinterpret_cast<const char*>(response.token_info.serial_number.bytes),
                   response.token_info.serial_number.size);
    while (!serial->empty() && serial->back() == ' ') {
        serial->pop_back();
    }
    return true;
}

}  // namespace vexa::test
