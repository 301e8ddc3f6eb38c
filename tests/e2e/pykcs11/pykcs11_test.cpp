// PyKCS11 on the built module: pykcs11_client.py runs the application's
// steps and writes public keys and signatures, which openssl verifies here.
#include <gtest/gtest.h>

#include "e2e/support/token_stack.h"

namespace vexa::e2e {
namespace {

class PyKcs11 : public ::testing::TestWithParam<Link> {};

TEST_P(PyKcs11, PythonApplicationSignsAndOpensslVerifies) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "python cannot load a module built with a sanitizer";
    }
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const RunResult result =
        stack.run("/usr/bin/python3", {VEXA_PYKCS11_CLIENT, stack.modulePath(), stack.dir()});
    ASSERT_EQ(result.status, 0) << result.all() << "\nmodule log:\n" << stack.moduleLog();

    const std::string& out = result.out;
    EXPECT_NE(out.find("library: Talvoranth / Talvoranth PKCS11 Library\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("slots: " + std::to_string(stack.slotCount()) + "\n"), std::string::npos)
        << out;
    for (size_t slot = 0; slot < stack.slotCount(); ++slot) {
        EXPECT_NE(out.find("token: Vexa Token " + stack.serial(slot) + "\n"), std::string::npos)
            << out;
    }
    for (const char* line :
         {"digest: ok\n", "random bytes: 32\n", "rsa verify on token: True\n",
          "rsa verify other data: False\n", "ecdsa signature bytes: 64\n",
          "ecdsa verify on token: True\n", "data objects found: 1 kept for a moment\n",
          "data objects after destroy: 0\n", "aes ciphertext bytes: 5008\n",
          "aes round trip: True\n", "python client passed\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }

    // OpenSSL decrypts what the device encrypted (key 00..1f, IV 10..1f).
    const RunResult decrypted = stack.shell(
        "openssl enc -d -aes-256-cbc -K "
        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f "
        "-iv 101112131415161718191a1b1c1d1e1f -in aes.cipher -out aes.back && "
        "cmp aes.plain aes.back");
    EXPECT_EQ(decrypted.status, 0) << decrypted.all();

    test::WriteFile(stack.file("data.txt"), "signed from Python through PyKCS11\n");
    for (const char* key : {"rsa", "ec"}) {
        SCOPED_TRACE(key);
        const RunResult verified =
            stack.shell(std::string("openssl dgst -sha256 -keyform DER -verify ") + key +
                        ".pub.der -signature " + key + ".sig data.txt");
        EXPECT_EQ(verified.status, 0) << verified.all();
        EXPECT_NE(verified.out.find("Verified OK"), std::string::npos) << verified.all();
    }
}

// A Python application that logs in and ends without C_Finalize (as a crash
// does) takes its login with it: the next one finds a public session, and
// its own C_Login with the right PIN succeeds, with a wrong one fails.
TEST_P(PyKcs11, LoginEndsWithThePythonApplication) {
    if (!test::kToolCanLoadModule) {
        GTEST_SKIP() << "python cannot load a module built with a sanitizer";
    }
    CTokenStack stack(GetParam());
    ASSERT_TRUE(stack.ready()) << stack.problem();
    const std::string open =
        "import os, sys, PyKCS11\n"
        "lib = PyKCS11.PyKCS11Lib()\n"
        "lib.load(sys.argv[1])\n"
        "session = lib.openSession(lib.getSlotList(tokenPresent=True)[0],\n"
        "                          PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)\n";
    const RunResult first =
        stack.run("/usr/bin/python3", {"-c",
                                       open + "session.login('" + kUserPin +
                                           "')\nprint('logged in', flush=True)\n"
                                           "os._exit(0)\n",
                                       stack.modulePath()});
    ASSERT_EQ(first.status, 0) << first.all() << "\nmodule log:\n" << stack.moduleLog();
    ASSERT_NE(first.out.find("logged in"), std::string::npos) << first.all();

    const RunResult second =
        stack.run("/usr/bin/python3", {"-c",
                                       open +
                                           "print('state', session.getSessionInfo().state)\n"
                                           "try:\n"
                                           "    session.login('000000')\n"
                                           "except PyKCS11.PyKCS11Error as e:\n"
                                           "    print('wrong pin:', e)\n"
                                           "session.login('" +
                                           kUserPin +
                                           "')\n"
                                           "print('logged in again', flush=True)\n",
                                       stack.modulePath()});
    ASSERT_EQ(second.status, 0) << second.all() << "\nmodule log:\n" << stack.moduleLog();
    // CKS_RW_PUBLIC_SESSION
    EXPECT_NE(second.out.find("state 2\n"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("wrong pin: CKR_PIN_INCORRECT"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("logged in again"), std::string::npos) << second.out;
}

INSTANTIATE_TEST_SUITE_P(Links, PyKcs11, ::testing::Values(Link::Hid, Link::Daemon),
                         [](const auto& info) { return LinkName(info.param); });

}  // namespace
}  // namespace vexa::e2e
