// Objects, attributes and key management through the built module on a real
// device stack (the stack's file starts it and hands over the module):
// data objects and certificates created and read back with size queries,
// updates, copies, searches over several C_FindObjects calls, private
// objects before and after login, destruction, values too large to share a
// reply, array attributes, key generation, wrap/unwrap and ECDH derivation,
// and pkcs11-tool writing, listing, reading and deleting a certificate.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "integration/pkcs11/crypto_suite.h"
#include "support/child_process.h"

namespace vexa::test {
namespace {

using Bytes = std::vector<uint8_t>;

CK_UTF8CHAR* utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return data;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A self-signed certificate in DER, made by the openssl command line.
Bytes makeCertificate(const std::string& dir, const std::string& name) {
    const std::string der = dir + "/" + name + ".der";
    ChildProcess openssl("/usr/bin/openssl",
                         {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                          "-nodes", "-subj", "/CN=" + name, "-days", "2", "-keyout",
                          dir + "/" + name + ".key", "-outform", "DER", "-out", der});
    EXPECT_EQ(openssl.waitExit(std::chrono::seconds(60)).value_or(-1), 0) << openssl.err();
    return readFile(der);
}

CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

class ObjectsSuite : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = SuiteModule();
        ASSERT_NE(module_, nullptr);
        ASSERT_TRUE(module_->loaded()) << module_->error();
        ASSERT_EQ(p11().C_Initialize(nullptr), CKR_OK);
        initialised_ = true;
        session_ = open();
        ASSERT_EQ(p11().C_Login(session_, CKU_USER, utf8("123456"), 6), CKR_OK);
    }
    void TearDown() override {
        // Finalizing ends the sessions and frees the daemon for the next client.
        if (initialised_) {
            EXPECT_EQ(p11().C_Finalize(nullptr), CKR_OK);
        }
    }

    CK_FUNCTION_LIST& p11() { return **module_; }

    CK_SESSION_HANDLE open() {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        EXPECT_EQ(
            p11().C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
            CKR_OK);
        return session;
    }

    CK_OBJECT_HANDLE create(std::vector<CK_ATTRIBUTE> tmpl) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_CreateObject(session_, tmpl.data(), tmpl.size(), &object), CKR_OK);
        return object;
    }

    // A data object with this label and value; a session object unless asked.
    CK_OBJECT_HANDLE createData(const std::string& label, const Bytes& value,
                                CK_BBOOL* token = &kFalse, CK_BBOOL* isPrivate = &kFalse) {
        static CK_OBJECT_CLASS data = CKO_DATA;
        return create({{CKA_CLASS, &data, sizeof data},
                       {CKA_TOKEN, token, 1},
                       {CKA_PRIVATE, isPrivate, 1},
                       {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                       {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}});
    }

    // One attribute through the size query and a second call.
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    CK_SESSION_HANDLE session = 0) {
        session = session == 0 ? session_ : session;
        CK_ATTRIBUTE query{type, nullptr, 0};
        EXPECT_EQ(p11().C_GetAttributeValue(session, object, &query, 1), CKR_OK);
        Bytes value(query.ulValueLen);
        query.pValue = value.data();
        EXPECT_EQ(p11().C_GetAttributeValue(session, object, &query, 1), CKR_OK);
        value.resize(query.ulValueLen);
        return value;
    }

    std::string label(CK_OBJECT_HANDLE object) {
        const Bytes bytes = attribute(object, CKA_LABEL);
        return std::string(bytes.begin(), bytes.end());
    }

    // Every object matching the template, fetched `perCall` at a time.
    std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> tmpl, CK_ULONG perCall = 3,
                                       int* calls = nullptr) {
        EXPECT_EQ(
            p11().C_FindObjectsInit(session_, tmpl.empty() ? nullptr : tmpl.data(), tmpl.size()),
            CKR_OK);
        std::vector<CK_OBJECT_HANDLE> all;
        std::vector<CK_OBJECT_HANDLE> some(perCall);
        for (int call = 1; call < 1000; ++call) {
            CK_ULONG count = 0;
            EXPECT_EQ(p11().C_FindObjects(session_, some.data(), perCall, &count), CKR_OK);
            EXPECT_LE(count, perCall);
            all.insert(all.end(), some.begin(), some.begin() + count);
            if (calls != nullptr) {
                *calls = call;
            }
            if (count == 0) {
                break;
            }
        }
        EXPECT_EQ(p11().C_FindObjectsFinal(session_), CKR_OK);
        return all;
    }

    std::vector<CK_OBJECT_HANDLE> findLabel(const std::string& text) {
        return find({{CKA_LABEL, const_cast<char*>(text.data()), text.size()}});
    }

    CK_OBJECT_HANDLE generateAes(CK_ULONG bytes, bool wrapping) {
        static CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
        CK_ULONG length = bytes;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &secret, sizeof secret},
                               {CKA_TOKEN, &kFalse, 1},
                               {CKA_VALUE_LEN, &length, sizeof length},
                               {CKA_SENSITIVE, &kFalse, 1},
                               {CKA_EXTRACTABLE, &kTrue, 1},
                               {CKA_WRAP, wrapping ? &kTrue : &kFalse, 1},
                               {CKA_UNWRAP, wrapping ? &kTrue : &kFalse, 1},
                               {CKA_ENCRYPT, &kTrue, 1}};
        CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_GenerateKey(session_, &mechanism, tmpl, std::size(tmpl), &key), CKR_OK);
        return key;
    }

    struct KeyPair {
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    };

    KeyPair generatePair(CK_MECHANISM_TYPE type, std::vector<CK_ATTRIBUTE> publicTemplate,
                         std::vector<CK_ATTRIBUTE> privateTemplate) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        KeyPair pair;
        EXPECT_EQ(
            p11().C_GenerateKeyPair(session_, &mechanism, publicTemplate.data(),
                                    publicTemplate.size(), privateTemplate.data(),
                                    privateTemplate.size(), &pair.publicKey, &pair.privateKey),
            CKR_OK);
        return pair;
    }

    // The template of a secret key that an unwrap or derivation creates,
    // readable so that the tests can compare values.
    static std::vector<CK_ATTRIBUTE> readableSecret(CK_KEY_TYPE* keyType, CK_ULONG* length) {
        static CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
        std::vector<CK_ATTRIBUTE> tmpl = {{CKA_CLASS, &secret, sizeof secret},
                                          {CKA_KEY_TYPE, keyType, sizeof *keyType},
                                          {CKA_TOKEN, &kFalse, 1},
                                          {CKA_SENSITIVE, &kFalse, 1},
                                          {CKA_EXTRACTABLE, &kTrue, 1}};
        if (length != nullptr) {
            tmpl.push_back({CKA_VALUE_LEN, length, sizeof *length});
        }
        return tmpl;
    }

    CLoadedModule* module_ = nullptr;
    bool initialised_ = false;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

TEST_F(ObjectsSuite, DataObjectsAndCertificatesReadBackWithSizeQueries) {
    const Bytes value = pattern(300, 1);
    const CK_OBJECT_HANDLE data = createData("data-1", value);
    EXPECT_EQ(attribute(data, CKA_VALUE), value);
    EXPECT_EQ(label(data), "data-1");

    const Bytes der = makeCertificate(SuiteDir(), "suite-cert");
    ASSERT_FALSE(der.empty());
    CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_BYTE subject[] = {0x30, 0x00};
    const CK_OBJECT_HANDLE cert =
        create({{CKA_CLASS, &certificate, sizeof certificate},
                {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                {CKA_TOKEN, &kFalse, 1},
                {CKA_LABEL, utf8("cert-1"), 6},
                {CKA_SUBJECT, subject, sizeof subject},
                {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()}});

    // Several attributes in one call: sizes first, then the values.
    CK_ATTRIBUTE sizes[] = {{CKA_CLASS, nullptr, 0},
                            {CKA_CERTIFICATE_TYPE, nullptr, 0},
                            {CKA_TOKEN, nullptr, 0},
                            {CKA_VALUE, nullptr, 0},
                            {CKA_LABEL, nullptr, 0}};
    ASSERT_EQ(p11().C_GetAttributeValue(session_, cert, sizes, std::size(sizes)), CKR_OK);
    EXPECT_EQ(sizes[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(sizes[1].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(sizes[2].ulValueLen, 1u);
    EXPECT_EQ(sizes[3].ulValueLen, der.size());
    EXPECT_EQ(sizes[4].ulValueLen, 6u);

    CK_OBJECT_CLASS cls = 0;
    CK_CERTIFICATE_TYPE type = 0;
    CK_BBOOL token = 0x55;
    Bytes readBack(der.size());
    char text[6];
    CK_ATTRIBUTE values[] = {{CKA_CLASS, &cls, sizeof cls},
                             {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                             {CKA_TOKEN, &token, 1},
                             {CKA_VALUE, readBack.data(), readBack.size()},
                             {CKA_LABEL, text, sizeof text}};
    ASSERT_EQ(p11().C_GetAttributeValue(session_, cert, values, std::size(values)), CKR_OK);
    EXPECT_EQ(cls, CKO_CERTIFICATE);
    EXPECT_EQ(type, CKC_X_509);
    EXPECT_EQ(token, CK_FALSE);
    EXPECT_EQ(readBack, der);

    CK_ULONG size = 0;
    EXPECT_EQ(p11().C_GetObjectSize(session_, cert, &size), CKR_OK);
    EXPECT_GE(size, der.size());

    // One byte short: that entry only is marked, the others are filled.
    Bytes shortBuffer(der.size() - 1);
    cls = 0;
    CK_ATTRIBUTE tooSmall[] = {{CKA_VALUE, shortBuffer.data(), shortBuffer.size()},
                               {CKA_CLASS, &cls, sizeof cls},
                               {CKA_ID, nullptr, 0}};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, cert, tooSmall, 3), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(cls, CKO_CERTIFICATE);

    // An attribute the class does not have.
    CK_ATTRIBUTE foreign[] = {{CKA_MODULUS, nullptr, 0}, {CKA_LABEL, nullptr, 0}};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, cert, foreign, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(foreign[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(foreign[1].ulValueLen, 6u);
}

TEST_F(ObjectsSuite, UpdatesCopiesAndDestructionFollowTheObjectRules) {
    const CK_OBJECT_HANDLE data = createData("before", pattern(20, 2));
    CK_ATTRIBUTE relabel[] = {{CKA_LABEL, utf8("after"), 5}};
    ASSERT_EQ(p11().C_SetAttributeValue(session_, data, relabel, 1), CKR_OK);
    EXPECT_EQ(label(data), "after");

    CK_OBJECT_CLASS other = CKO_SECRET_KEY;
    CK_ATTRIBUTE reclass[] = {{CKA_CLASS, &other, sizeof other}};
    EXPECT_EQ(p11().C_SetAttributeValue(session_, data, reclass, 1), CKR_ATTRIBUTE_READ_ONLY);

    CK_OBJECT_HANDLE copy = CK_INVALID_HANDLE;
    CK_ATTRIBUTE copyLabel[] = {{CKA_LABEL, utf8("copy"), 4}};
    ASSERT_EQ(p11().C_CopyObject(session_, data, copyLabel, 1, &copy), CKR_OK);
    EXPECT_NE(copy, data);
    EXPECT_EQ(label(copy), "copy");
    EXPECT_EQ(attribute(copy, CKA_VALUE), pattern(20, 2));
    CK_OBJECT_HANDLE plain = CK_INVALID_HANDLE;
    ASSERT_EQ(p11().C_CopyObject(session_, data, copyLabel, 0, &plain), CKR_OK);
    EXPECT_EQ(label(plain), "after");

    ASSERT_EQ(p11().C_DestroyObject(session_, copy), CKR_OK);
    CK_ATTRIBUTE query{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, copy, &query, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(p11().C_DestroyObject(session_, copy), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(findLabel("copy").size(), 0u);
    EXPECT_EQ(findLabel("after").size(), 2u);
}

TEST_F(ObjectsSuite, SearchesRunOverSeveralCallsWithTheDevicesCursor) {
    std::set<CK_OBJECT_HANDLE> made;
    for (uint8_t i = 0; i < 7; ++i) {
        made.insert(createData("find-me", pattern(8, i)));
    }
    createData("find-me-not", pattern(8, 9));
    int calls = 0;
    CK_OBJECT_CLASS data = CKO_DATA;
    const auto found =
        find({{CKA_CLASS, &data, sizeof data}, {CKA_LABEL, utf8("find-me"), 7}}, 3, &calls);
    EXPECT_EQ(std::set<CK_OBJECT_HANDLE>(found.begin(), found.end()), made);
    EXPECT_EQ(found.size(), 7u);
    EXPECT_EQ(calls, 4);  // 3 + 3 + 1, then none

    // The cursor's own rules, from the device.
    CK_OBJECT_HANDLE one = 0;
    CK_ULONG count = 0;
    EXPECT_EQ(p11().C_FindObjects(session_, &one, 1, &count), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(p11().C_FindObjectsInit(session_, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11().C_FindObjectsInit(session_, nullptr, 0), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(p11().C_FindObjectsFinal(session_), CKR_OK);
    EXPECT_EQ(p11().C_FindObjectsFinal(session_), CKR_OPERATION_NOT_INITIALIZED);
    // No template matches every object, these among them.
    const auto all = find({}, 500);
    for (CK_OBJECT_HANDLE h : made) {
        EXPECT_NE(std::find(all.begin(), all.end(), h), all.end());
    }
}

TEST_F(ObjectsSuite, PrivateObjectsStayHiddenUntilLogin) {
    const CK_OBJECT_HANDLE secret =
        createData("private-one", pattern(16, 3), &kFalse, /*isPrivate=*/&kTrue);
    createData("private-one", pattern(16, 4));  // a public twin
    ASSERT_EQ(findLabel("private-one").size(), 2u);

    ASSERT_EQ(p11().C_Logout(session_), CKR_OK);
    const auto visible = findLabel("private-one");
    ASSERT_EQ(visible.size(), 1u);
    EXPECT_NE(visible[0], secret);
    CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, secret, &query, 1), CKR_OBJECT_HANDLE_INVALID);
    CK_BBOOL yes = CK_TRUE;
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &data, sizeof data}, {CKA_PRIVATE, &yes, 1}};
    CK_OBJECT_HANDLE refused = CK_INVALID_HANDLE;
    EXPECT_EQ(p11().C_CreateObject(session_, privateTemplate, 2, &refused), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(p11().C_Login(session_, CKU_USER, utf8("123456"), 6), CKR_OK);
    EXPECT_EQ(findLabel("private-one").size(), 2u);
    EXPECT_EQ(attribute(secret, CKA_VALUE), pattern(16, 3));
}

TEST_F(ObjectsSuite, ValuesTooLargeToShareOneReplyStillArriveWhole) {
    const Bytes big = pattern(1500, 5);
    const Bytes other = pattern(900, 6);
    const CK_OBJECT_HANDLE data = createData("big", big);
    CK_ATTRIBUTE application[] = {
        {CKA_APPLICATION, const_cast<uint8_t*>(other.data()), other.size()}};
    ASSERT_EQ(p11().C_SetAttributeValue(session_, data, application, 1), CKR_OK);

    Bytes value(2000, 0);
    Bytes app(2000, 0);
    CK_ATTRIBUTE both[] = {{CKA_VALUE, value.data(), value.size()},
                           {CKA_APPLICATION, app.data(), app.size()}};
    ASSERT_EQ(p11().C_GetAttributeValue(session_, data, both, 2), CKR_OK);
    ASSERT_EQ(both[0].ulValueLen, big.size());
    ASSERT_EQ(both[1].ulValueLen, other.size());
    value.resize(both[0].ulValueLen);
    app.resize(both[1].ulValueLen);
    EXPECT_EQ(value, big);
    EXPECT_EQ(app, other);
}

TEST_F(ObjectsSuite, ArrayAttributesReturnTheirElementsTypesAndLengths) {
    static CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    static CK_KEY_TYPE aes = CKK_AES;
    CK_ATTRIBUTE elements[] = {{CKA_CLASS, &secret, sizeof secret}, {CKA_EXTRACTABLE, &kTrue, 1}};
    Bytes keyValue = pattern(16, 7);
    CK_OBJECT_HANDLE key = create({{CKA_CLASS, &secret, sizeof secret},
                                   {CKA_KEY_TYPE, &aes, sizeof aes},
                                   {CKA_TOKEN, &kFalse, 1},
                                   {CKA_VALUE, keyValue.data(), keyValue.size()},
                                   {CKA_WRAP_TEMPLATE, elements, sizeof elements}});
    CK_ATTRIBUTE query{CKA_WRAP_TEMPLATE, nullptr, 0};
    ASSERT_EQ(p11().C_GetAttributeValue(session_, key, &query, 1), CKR_OK);
    ASSERT_EQ(query.ulValueLen, 2 * sizeof(CK_ATTRIBUTE));
    CK_ATTRIBUTE back[2] = {};
    query.pValue = back;
    ASSERT_EQ(p11().C_GetAttributeValue(session_, key, &query, 1), CKR_OK);
    EXPECT_EQ(back[0].type, CKA_CLASS);
    EXPECT_EQ(back[1].type, CKA_EXTRACTABLE);
    EXPECT_EQ(back[1].ulValueLen, 1u);
    EXPECT_EQ(back[0].pValue, nullptr);

    CK_ATTRIBUTE oneShort{CKA_WRAP_TEMPLATE, back, sizeof(CK_ATTRIBUTE)};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, key, &oneShort, 1), CKR_BUFFER_TOO_SMALL);
}

TEST_F(ObjectsSuite, SecretValuesOfSensitiveKeysAreNotHandedOut) {
    static CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    CK_ULONG length = 32;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &secret, sizeof secret},
                           {CKA_TOKEN, &kFalse, 1},
                           {CKA_VALUE_LEN, &length, sizeof length},
                           {CKA_SENSITIVE, &kTrue, 1}};
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ASSERT_EQ(p11().C_GenerateKey(session_, &mechanism, tmpl, std::size(tmpl), &key), CKR_OK);
    Bytes value(64);
    CK_ULONG valueLen = 0;
    CK_ATTRIBUTE query[] = {{CKA_VALUE, value.data(), value.size()},
                            {CKA_VALUE_LEN, &valueLen, sizeof valueLen}};
    EXPECT_EQ(p11().C_GetAttributeValue(session_, key, query, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(query[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(valueLen, 32u);
}

TEST_F(ObjectsSuite, GeneratedKeysHaveTheAskedSizes) {
    CK_ULONG bits = 2048;
    CK_BYTE exponent[] = {1, 0, 1};
    const KeyPair rsa = generatePair(CKM_RSA_PKCS_KEY_PAIR_GEN,
                                     {{CKA_TOKEN, &kFalse, 1},
                                      {CKA_MODULUS_BITS, &bits, sizeof bits},
                                      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}},
                                     {{CKA_TOKEN, &kFalse, 1}, {CKA_SIGN, &kTrue, 1}});
    EXPECT_EQ(attribute(rsa.publicKey, CKA_MODULUS).size(), 256u);
    CK_KEY_TYPE type = 0;
    CK_ATTRIBUTE keyType{CKA_KEY_TYPE, &type, sizeof type};
    ASSERT_EQ(p11().C_GetAttributeValue(session_, rsa.privateKey, &keyType, 1), CKR_OK);
    EXPECT_EQ(type, CKK_RSA);

    CK_BYTE p384[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
    const KeyPair ec = generatePair(CKM_EC_KEY_PAIR_GEN,
                                    {{CKA_TOKEN, &kFalse, 1}, {CKA_EC_PARAMS, p384, sizeof p384}},
                                    {{CKA_TOKEN, &kFalse, 1}, {CKA_SIGN, &kTrue, 1}});
    const Bytes point = attribute(ec.publicKey, CKA_EC_POINT);
    ASSERT_EQ(point.size(), 99u);  // DER OCTET STRING of 97 bytes
    EXPECT_EQ(point[0], 0x04);
    EXPECT_EQ(point[2], 0x04);

    const CK_OBJECT_HANDLE aes = generateAes(24, false);
    EXPECT_EQ(attribute(aes, CKA_VALUE).size(), 24u);

    CK_MECHANISM bogus{0x7FFFFFF0, nullptr, 0};
    CK_OBJECT_HANDLE none = CK_INVALID_HANDLE;
    CK_ATTRIBUTE empty[1] = {};
    EXPECT_EQ(p11().C_GenerateKey(session_, &bogus, empty, 0, &none), CKR_MECHANISM_INVALID);
    EXPECT_EQ(none, CK_INVALID_HANDLE);
}

TEST_F(ObjectsSuite, AesKeyWrapRoundTripsTheKeyValue) {
    const CK_OBJECT_HANDLE wrapping = generateAes(32, true);
    const CK_OBJECT_HANDLE key = generateAes(16, false);
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};

    CK_ULONG length = 0;
    ASSERT_EQ(p11().C_WrapKey(session_, &mechanism, wrapping, key, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 24u);
    Bytes wrapped(length);
    CK_ULONG tooSmall = 8;
    EXPECT_EQ(p11().C_WrapKey(session_, &mechanism, wrapping, key, wrapped.data(), &tooSmall),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall, 24u);
    ASSERT_EQ(p11().C_WrapKey(session_, &mechanism, wrapping, key, wrapped.data(), &length),
              CKR_OK);
    ASSERT_EQ(length, 24u);

    CK_KEY_TYPE aes = CKK_AES;
    auto tmpl = readableSecret(&aes, nullptr);
    CK_OBJECT_HANDLE unwrapped = CK_INVALID_HANDLE;
    ASSERT_EQ(p11().C_UnwrapKey(session_, &mechanism, wrapping, wrapped.data(), wrapped.size(),
                                tmpl.data(), tmpl.size(), &unwrapped),
              CKR_OK);
    EXPECT_EQ(attribute(unwrapped, CKA_VALUE), attribute(key, CKA_VALUE));

    wrapped[3] ^= 0x01;
    CK_OBJECT_HANDLE refused = CK_INVALID_HANDLE;
    EXPECT_NE(p11().C_UnwrapKey(session_, &mechanism, wrapping, wrapped.data(), wrapped.size(),
                                tmpl.data(), tmpl.size(), &refused),
              CKR_OK);
    EXPECT_EQ(refused, CK_INVALID_HANDLE);
}

TEST_F(ObjectsSuite, RsaWrapRoundTripsAKeyThroughTheKeyPair) {
    CK_ULONG bits = 2048;
    CK_BYTE exponent[] = {1, 0, 1};
    const KeyPair rsa = generatePair(CKM_RSA_PKCS_KEY_PAIR_GEN,
                                     {{CKA_TOKEN, &kFalse, 1},
                                      {CKA_MODULUS_BITS, &bits, sizeof bits},
                                      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                      {CKA_WRAP, &kTrue, 1}},
                                     {{CKA_TOKEN, &kFalse, 1}, {CKA_UNWRAP, &kTrue, 1}});
    const CK_OBJECT_HANDLE key = generateAes(32, false);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = 0;
    ASSERT_EQ(p11().C_WrapKey(session_, &mechanism, rsa.publicKey, key, nullptr, &length), CKR_OK);
    ASSERT_EQ(length, 256u);
    Bytes wrapped(length);
    ASSERT_EQ(p11().C_WrapKey(session_, &mechanism, rsa.publicKey, key, wrapped.data(), &length),
              CKR_OK);

    CK_KEY_TYPE aes = CKK_AES;
    auto tmpl = readableSecret(&aes, nullptr);
    CK_OBJECT_HANDLE unwrapped = CK_INVALID_HANDLE;
    ASSERT_EQ(p11().C_UnwrapKey(session_, &mechanism, rsa.privateKey, wrapped.data(),
                                wrapped.size(), tmpl.data(), tmpl.size(), &unwrapped),
              CKR_OK);
    EXPECT_EQ(attribute(unwrapped, CKA_VALUE), attribute(key, CKA_VALUE));
}

TEST_F(ObjectsSuite, EcdhDerivationAgreesFromBothSides) {
    CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    const auto pair = [&] {
        return generatePair(CKM_EC_KEY_PAIR_GEN,
                            {{CKA_TOKEN, &kFalse, 1}, {CKA_EC_PARAMS, p256, sizeof p256}},
                            {{CKA_TOKEN, &kFalse, 1}, {CKA_DERIVE, &kTrue, 1}});
    };
    const KeyPair alice = pair();
    const KeyPair bob = pair();
    const auto derive = [&](CK_OBJECT_HANDLE base, CK_OBJECT_HANDLE peer) {
        Bytes point = attribute(peer, CKA_EC_POINT);
        CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, point.size(), point.data()};
        CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof params};
        CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
        CK_ULONG length = 32;
        auto tmpl = readableSecret(&generic, &length);
        CK_OBJECT_HANDLE secret = CK_INVALID_HANDLE;
        EXPECT_EQ(p11().C_DeriveKey(session_, &mechanism, base, tmpl.data(), tmpl.size(), &secret),
                  CKR_OK);
        return attribute(secret, CKA_VALUE);
    };
    const Bytes fromAlice = derive(alice.privateKey, bob.publicKey);
    const Bytes fromBob = derive(bob.privateKey, alice.publicKey);
    EXPECT_EQ(fromAlice.size(), 32u);
    EXPECT_EQ(fromAlice, fromBob);
}

// pkcs11-tool is its own process with its own copy of the module: this
// test leaves the suite's module finalized, so that a daemon is free for it.
class ObjectsTool : public ::testing::Test {};

TEST_F(ObjectsTool, Pkcs11ToolWritesListsReadsAndDeletesACertificate) {
    if (!kToolCanLoadModule) {
        GTEST_SKIP() << "pkcs11-tool cannot load a module built with a sanitizer";
    }
    const std::string dir = SuiteDir();
    const Bytes der = makeCertificate(dir, "tool-cert");
    ASSERT_FALSE(der.empty());
    const std::vector<std::string> login = {"--login", "--pin", "123456"};
    const auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), login.begin(), login.end());
        return RunPkcs11Tool(args);
    };

    const ToolResult written = tool({"--write-object", dir + "/tool-cert.der", "--type", "cert",
                                     "--label", "c1", "--id", "c1"});
    ASSERT_EQ(written.status, 0) << written.output;

    const ToolResult listed = tool({"--list-objects", "--type", "cert"});
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("label:      c1"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("CN=tool-cert"), std::string::npos) << listed.output;

    const std::string out = dir + "/read-back.der";
    const ToolResult read =
        tool({"--read-object", "--type", "cert", "--label", "c1", "--output-file", out});
    ASSERT_EQ(read.status, 0) << read.output;
    EXPECT_EQ(readFile(out), der);

    const ToolResult deleted = tool({"--delete-object", "--type", "cert", "--label", "c1"});
    EXPECT_EQ(deleted.status, 0) << deleted.output;
    const ToolResult after = tool({"--list-objects", "--type", "cert"});
    EXPECT_EQ(after.status, 0) << after.output;
    EXPECT_EQ(after.output.find("label:      c1"), std::string::npos) << after.output;
}

}  // namespace
}  // namespace vexa::test
