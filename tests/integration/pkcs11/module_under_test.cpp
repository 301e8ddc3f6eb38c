#include "integration/pkcs11/module_under_test.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "integration/tls/test_env.h"

namespace vexa::test {

std::string ModulePath() {
    return BinDir() + "/libvexa-pkcs11.so";
}

CLoadedModule::CLoadedModule() {
    handle_ = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = dlerror();
        return;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        error_ = "no C_GetFunctionList";
        return;
    }
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getFunctionList(&list) != CKR_OK || list == nullptr) {
        error_ = "C_GetFunctionList failed";
        return;
    }
    functions_ = list;
}

CLoadedModule::~CLoadedModule() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

CSimProcess::CSimProcess(const std::string& dir, const std::vector<std::string>& options)
    : socket_(dir + "/sim.sock") {
    std::vector<std::string> args = {"--socket", socket_, "--settle-ms", "20"};
    args.insert(args.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(BinDir() + "/vexa-sim", args);
    ready_ = process_->waitForStdout("vexa-sim: ready");
}

CDaemonProcess::CDaemonProcess(const std::string& dir, const std::string& serial,
                               const std::string& simSocket)
    : pki_(GeneratePki(dir)), port_(FreeLoopbackPort()) {
    if (pki_.caCert.empty()) {
        problem_ = "openssl could not make the test certificates";
        return;
    }
    if (port_ == 0) {
        problem_ = "no free loopback port";
        return;
    }
    process_ = std::make_unique<ChildProcess>(
        BinDir() + "/vexa-daemon",
        std::vector<std::string>{"-d", serial, "-i", "127.0.0.1", "-p", std::to_string(port_),
                                 "-ca", pki_.caCert, "-crt", pki_.serverCert, "-key",
                                 pki_.serverKey},
        std::map<std::string, std::string>{{"VEXA_VIRTUAL_DEVICE", simSocket},
                                           {"VEXA_KEY_PASS", ""}},
        dir);
    if (!WaitForListener(port_)) {
        problem_ = "vexa-daemon did not listen: " + process_->out() + process_->err();
    }
}

std::string CDaemonProcess::moduleTransport() const {
    return R"("transport": {"address": "localhost", "port": )" + std::to_string(port_) +
           R"(, "cacertbundle": ")" + pki_.caCert + R"("})";
}

bool WaitForListener(int port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const bool taken =
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EADDRINUSE;
        ::close(fd);
        if (taken) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::vector<std::string> symbols;
    std::istringstream lines(RunCommand("/usr/bin/nm", {"-D", "--defined-only", library}).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            symbols.push_back(name);
        }
    }
    return symbols;
}

ToolResult RunPkcs11Tool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--module", ModulePath()};
    all.insert(all.end(), args.begin(), args.end());
    const CommandResult tool = RunCommand("/usr/bin/pkcs11-tool", all);
    return ToolResult{tool.status, tool.all()};
}

void ExpectToolDrawsRandomAndRefusesAWrongPin(const std::string& dir, const std::string& wrongPin) {
    const std::string out = dir + "/random.bin";
    const ToolResult random =
        RunPkcs11Tool({"--login", "--pin", "123456", "--generate-random", "32", "-o", out});
    EXPECT_EQ(random.status, 0) << random.output;
    std::ifstream bytes(out, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<long>(bytes.tellg()), 32);

    const ToolResult wrong =
        RunPkcs11Tool({"--login", "--pin", wrongPin, "--generate-random", "32", "-o", out});
    EXPECT_NE(wrong.status, 0);
    EXPECT_NE(wrong.output.find("CKR_PIN_INCORRECT"), std::string::npos) << wrong.output;
}

std::string Trimmed(const unsigned char* field, size_t size) {
    std::string text(reinterpret_cast<const char*>(field), size);
    const size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace vexa::test
