// What the module's integration tests share: the built module loaded with
// dlopen the way applications load it, a running vexa-sim, the wait for a
// listening daemon, and the PKCS#11 client pkcs11-tool.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

#include "integration/tls/test_env.h"
#include "support/child_process.h"

namespace vexa::test {

// Path of the built module.
std::string ModulePath();

// libvexa-pkcs11.so loaded with dlopen, its function list from
// C_GetFunctionList. Unloaded at the end.
class CLoadedModule {
public:
    CLoadedModule();
    ~CLoadedModule();
    CLoadedModule(const CLoadedModule&) = delete;
    CLoadedModule& operator=(const CLoadedModule&) = delete;

    bool loaded() const { return functions_ != nullptr; }
    const std::string& error() const { return error_; }
    CK_FUNCTION_LIST& operator*() const { return *functions_; }
    CK_FUNCTION_LIST* operator->() const { return functions_; }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    std::string error_;
};

// A vexa-sim process on a socket in `dir`, ready when constructed.
class CSimProcess {
public:
    CSimProcess(const std::string& dir, const std::vector<std::string>& options);
    bool ready() const { return ready_; }
    const std::string& socket() const { return socket_; }
    ChildProcess& process() { return *process_; }
    const ChildProcess& process() const { return *process_; }

private:
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// A vexa-daemon serving TLS on a free loopback port for the device `serial`
// of the vexa-sim at simSocket, with a throw-away PKI made in dir and dir as
// its working directory. Ready (listening) when constructed, or not with
// the reason in problem(). Ended when the object goes.
class CDaemonProcess {
public:
    CDaemonProcess(const std::string& dir, const std::string& serial, const std::string& simSocket);
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }
    int port() const { return port_; }
    const TestPki& pki() const { return pki_; }
    ChildProcess& process() { return *process_; }
    const ChildProcess& process() const { return *process_; }
    // The module's "transport" member naming this daemon, for a
    // "vexaconfig.json": "transport": {"address": ..., "port": ..., ...}.
    std::string moduleTransport() const;

private:
    TestPki pki_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
    std::string problem_;
};

// Waits until something listens on 127.0.0.1:port (found by failing to
// bind it ourselves, so that nothing connects to the listener).
bool WaitForListener(int port, int timeoutMs = 30000);

// The defined dynamic symbols of a shared library, from `nm -D`.
std::vector<std::string> DefinedDynamicSymbols(const std::string& library);

// Runs pkcs11-tool with the built module and these arguments; its exit
// status and everything it wrote.
struct ToolResult {
    int status = -1;
    std::string output;
};
ToolResult RunPkcs11Tool(const std::vector<std::string>& args);
// False when the module carries a sanitizer runtime, which an uninstrumented
// pkcs11-tool cannot load.
constexpr bool kToolCanLoadModule =
#ifdef VEXA_SANITIZED_MODULE
    false;
#else
    true;
#endif

// pkcs11-tool logs in with the user PIN and draws 32 random bytes into a
// file in dir; with wrongPin it fails with CKR_PIN_INCORRECT.
void ExpectToolDrawsRandomAndRefusesAWrongPin(const std::string& dir, const std::string& wrongPin);

// A PKCS#11 text field without its blank padding.
std::string Trimmed(const unsigned char* field, size_t size);

}  // namespace vexa::test
