// The virtual device's object store through its function ids: PKCS#11's
// rules for creating, reading, changing, copying and destroying objects,
// who may see and write what, searches across several calls, and token
// objects in the state file.
#include "device_fixture.h"
#include "sim/firmware/codec.h"
#include "sim/firmware/token_objects.h"
#include "sim/state/state_file.h"
#include "test_support.h"

namespace vexa::sim::test {
namespace {

const Bytes kAesKey(16, 0x3C);

Attrs dataObject(const std::string& label, bool token = false, bool priv = false) {
    return {U(CKA_CLASS, CKO_DATA), Y(CKA_LABEL, label), B(CKA_TOKEN, token), B(CKA_PRIVATE, priv),
            Y(CKA_VALUE, "payload")};
}

Attrs aesObject(Attrs extra = {}) {
    Attrs t = {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES), Y(CKA_VALUE, kAesKey)};
    t.insert(t.end(), extra.begin(), extra.end());
    return t;
}

class ObjectStoreTest : public DeviceTest {};

struct CreateCase {
    const char* what;
    Attrs tmpl;
    uint32_t rv;
};

TEST_F(ObjectStoreTest, CreateObjectFollowsTheTemplateRules) {
    DeviceAttribute shortLength = Y(CKA_LABEL, "abc");
    shortLength.length = 16;  // the module's form for a null value with a length
    Bytes offCurve(65, 0x01);
    offCurve[0] = 0x04;
    const CreateCase cases[] = {
        {"data object", {U(CKA_CLASS, CKO_DATA)}, CKR_OK},
        {"no class", {Y(CKA_LABEL, "x")}, CKR_TEMPLATE_INCOMPLETE},
        {"attribute of another class",
         {U(CKA_CLASS, CKO_DATA), Y(CKA_MODULUS, "n")},
         CKR_ATTRIBUTE_TYPE_INVALID},
        {"one type, two values",
         {U(CKA_CLASS, CKO_DATA), Y(CKA_LABEL, "a"), Y(CKA_LABEL, "b")},
         CKR_TEMPLATE_INCONSISTENT},
        {"one type, one value twice",
         {U(CKA_CLASS, CKO_DATA), Y(CKA_LABEL, "a"), Y(CKA_LABEL, "a")},
         CKR_OK},
        {"boolean of two bytes",
         {U(CKA_CLASS, CKO_DATA), Y(CKA_TOKEN, Bytes{1, 0})},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"integer as 8 bytes", {Y(CKA_CLASS, Bytes{0, 0, 0, 0, 0, 0, 0, 0})}, CKR_OK},
        {"length without its bytes",
         {U(CKA_CLASS, CKO_DATA), shortLength},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"class the device does not keep",
         {U(CKA_CLASS, CKO_HW_FEATURE)},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"certificate without value",
         {U(CKA_CLASS, CKO_CERTIFICATE), U(CKA_CERTIFICATE_TYPE, CKC_X_509), Y(CKA_SUBJECT, "s")},
         CKR_TEMPLATE_INCOMPLETE},
        {"certificate type other than X.509",
         {U(CKA_CLASS, CKO_CERTIFICATE), U(CKA_CERTIFICATE_TYPE, CKC_WTLS), Y(CKA_VALUE, "v")},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"unreadable certificate with subject",
         {U(CKA_CLASS, CKO_CERTIFICATE), U(CKA_CERTIFICATE_TYPE, CKC_X_509), Y(CKA_VALUE, "v"),
          Y(CKA_SUBJECT, "s")},
         CKR_OK},
        {"key without type",
         {U(CKA_CLASS, CKO_SECRET_KEY), Y(CKA_VALUE, kAesKey)},
         CKR_TEMPLATE_INCOMPLETE},
        {"AES key of 20 bytes",
         {U(CKA_CLASS, CKO_SECRET_KEY), U(CKA_KEY_TYPE, CKK_AES), Y(CKA_VALUE, Bytes(20))},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"length of a key being created", aesObject({U(CKA_VALUE_LEN, 16)}),
         CKR_ATTRIBUTE_READ_ONLY},
        {"history set by the caller", aesObject({B(CKA_LOCAL, true)}), CKR_ATTRIBUTE_READ_ONLY},
        {"trusted set by the user", aesObject({B(CKA_TRUSTED, true)}), CKR_ATTRIBUTE_READ_ONLY},
        {"date of four digits", aesObject({Y(CKA_START_DATE, "2024")}),
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"date of eight digits", aesObject({Y(CKA_START_DATE, "20240131")}), CKR_OK},
        {"curve the device lacks",
         {U(CKA_CLASS, CKO_PUBLIC_KEY), U(CKA_KEY_TYPE, CKK_EC),
          Y(CKA_EC_PARAMS, Bytes{0x06, 0x03, 0x2B, 0x65, 0x70}), Y(CKA_EC_POINT, offCurve)},
         CKR_CURVE_NOT_SUPPORTED},
        {"point off the curve",
         {U(CKA_CLASS, CKO_PUBLIC_KEY), U(CKA_KEY_TYPE, CKK_EC), Y(CKA_EC_PARAMS, kP256),
          Y(CKA_EC_POINT, offCurve)},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"RSA private key without exponent",
         {U(CKA_CLASS, CKO_PRIVATE_KEY), U(CKA_KEY_TYPE, CKK_RSA),
          Y(CKA_MODULUS, Bytes(128, 0xC1))},
         CKR_TEMPLATE_INCOMPLETE},
    };
    const uint32_t s = userSession();
    for (const CreateCase& c : cases) {
        uint32_t h = 0;
        EXPECT_EQ(create(s, c.tmpl, &h), c.rv) << c.what;
        EXPECT_EQ(h != 0, c.rv == CKR_OK) << c.what;
    }
}

TEST_F(ObjectStoreTest, AttributesComeBackInTheirWireFormsWithDefaults) {
    const uint32_t s = userSession();
    const uint32_t key = mustCreate(s, aesObject({Y(CKA_LABEL, "k1")}));
    DeviceResponse r =
        getAttributes(s, key,
                      {CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_LOCAL,
                       CKA_KEY_GEN_MECHANISM, CKA_VALUE_LEN, CKA_CHECK_VALUE, CKA_LABEL, CKA_VALUE,
                       CKA_MODULUS, CKA_DERIVE});
    // The secret value is withheld first; the RSA attribute is not the key's.
    EXPECT_EQ(r.rv, CKR_ATTRIBUTE_SENSITIVE);
    ASSERT_EQ(r.attributes.size(), 13u);
    using F = DeviceAttribute::Form;
    struct Expect {
        F form;
        uint32_t number;  // ulong or bool value, or the byte length
    };
    const Expect expected[] = {
        {F::Ulong, CKO_SECRET_KEY},
        {F::Bool, 0},
        {F::Bool, 1},
        {F::Bool, 1},
        {F::Bool, 0},
        {F::Bool, 0},
        {F::Ulong, 0xFFFFFFFF},
        {F::Ulong, 16},
        {F::Bytes, 3},
        {F::Bytes, 2},
        {F::Bytes, 0xFFFFFFFF},
        {F::Bytes, 0xFFFFFFFF},
        {F::Bool, 0},
    };
    for (size_t i = 0; i < r.attributes.size(); ++i) {
        const DeviceAttribute& a = r.attributes[i];
        ASSERT_EQ(a.form, expected[i].form) << i;
        const uint32_t got = a.form == F::Ulong  ? a.ulongValue
                             : a.form == F::Bool ? a.boolValue
                                                 : a.length;
        EXPECT_EQ(got, expected[i].number) << i;
    }
    EXPECT_TRUE(r.attributes[10].bytes.empty());
    // The check value is the first three bytes of AES(key, zero block).
    EXPECT_EQ(r.attributes[8].bytes.size(), 3u);

    EXPECT_EQ(getAttributes(s, 0xDEAD, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);
}

struct SetCase {
    const char* what;
    Attrs change;
    uint32_t rv;
};

TEST_F(ObjectStoreTest, SetAttributeValueFollowsTheModificationRules) {
    const uint32_t s = userSession();
    const uint32_t key =
        mustCreate(s, aesObject({B(CKA_SENSITIVE, false), B(CKA_EXTRACTABLE, false)}));
    const SetCase cases[] = {
        {"label", {Y(CKA_LABEL, "renamed")}, CKR_OK},
        {"usage flag", {B(CKA_ENCRYPT, false)}, CKR_OK},
        {"class", {U(CKA_CLASS, CKO_DATA)}, CKR_ATTRIBUTE_READ_ONLY},
        {"class restated", {U(CKA_CLASS, CKO_SECRET_KEY)}, CKR_OK},
        {"token outside a copy", {B(CKA_TOKEN, true)}, CKR_ATTRIBUTE_READ_ONLY},
        {"sensitive on", {B(CKA_SENSITIVE, true)}, CKR_OK},
        {"sensitive off again", {B(CKA_SENSITIVE, false)}, CKR_ATTRIBUTE_READ_ONLY},
        {"extractable on", {B(CKA_EXTRACTABLE, true)}, CKR_ATTRIBUTE_READ_ONLY},
        {"attribute of another class", {Y(CKA_MODULUS, "n")}, CKR_ATTRIBUTE_TYPE_INVALID},
        {"value of a key", {Y(CKA_VALUE, Bytes(16))}, CKR_ATTRIBUTE_READ_ONLY},
        {"good change with a bad one",
         {Y(CKA_LABEL, "lost"), U(CKA_CLASS, CKO_DATA)},
         CKR_ATTRIBUTE_READ_ONLY},
    };
    for (const SetCase& c : cases) {
        EXPECT_EQ(setAttributes(s, key, c.change), c.rv) << c.what;
    }
    // All or nothing: the refused change left the label as it was.
    EXPECT_EQ(value(s, key, CKA_LABEL), bytesOf("renamed"));
    // A created key came from outside the device: its history says so and
    // no later change alters it.
    DeviceResponse r = getAttributes(s, key, {CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE});
    EXPECT_FALSE(r.attributes[0].boolValue);
    EXPECT_FALSE(r.attributes[1].boolValue);

    const uint32_t fixed = mustCreate(s, aesObject({B(CKA_MODIFIABLE, false)}));
    EXPECT_EQ(setAttributes(s, fixed, {Y(CKA_LABEL, "x")}), CKR_ACTION_PROHIBITED);
}

TEST_F(ObjectStoreTest, CopyAndDestroyFollowTheObjectFlags) {
    const uint32_t s = userSession();
    const uint32_t original = mustCreate(s, dataObject("one"));
    DeviceRequest copy = req(F::CopyObject, s);
    copy.object = original;
    copy.templ = {B(CKA_TOKEN, true), Y(CKA_LABEL, "two")};
    DeviceResponse r = call(copy);
    ASSERT_EQ(r.rv, CKR_OK);
    const uint32_t copied = *r.handle;
    EXPECT_NE(copied, original);
    EXPECT_EQ(value(s, copied, CKA_LABEL), bytesOf("two"));
    EXPECT_EQ(value(s, copied, CKA_VALUE), bytesOf("payload"));
    EXPECT_EQ(value(s, original, CKA_LABEL), bytesOf("one"));
    EXPECT_TRUE(getAttributes(s, copied, {CKA_TOKEN}).attributes[0].boolValue);

    copy.templ = {U(CKA_CLASS, CKO_CERTIFICATE)};
    EXPECT_EQ(call(copy).rv, CKR_ATTRIBUTE_READ_ONLY);
    Attrs locked = dataObject("locked");
    locked.push_back(B(CKA_COPYABLE, false));
    locked.push_back(B(CKA_DESTROYABLE, false));
    copy.object = mustCreate(s, locked);
    copy.templ.clear();
    EXPECT_EQ(call(copy).rv, CKR_ACTION_PROHIBITED);
    EXPECT_EQ(destroy(s, *copy.object), CKR_ACTION_PROHIBITED);

    EXPECT_EQ(destroy(s, copied), CKR_OK);
    EXPECT_EQ(getAttributes(s, copied, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(destroy(s, copied), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ObjectStoreTest, SessionsAndLoginDecideWhoMayWriteAndSee) {
    const uint32_t ro = openSession(false);
    const uint32_t rw = openSession(true);
    uint32_t h = 0;
    EXPECT_EQ(create(ro, dataObject("t", true), &h), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(create(ro, dataObject("s"), &h), CKR_OK);
    EXPECT_EQ(create(rw, dataObject("p", false, true), &h), CKR_USER_NOT_LOGGED_IN);
    // Keys are private unless told otherwise.
    EXPECT_EQ(create(rw, aesObject(), &h), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(login(rw), CKR_OK);
    const uint32_t secret = mustCreate(rw, dataObject("hidden", true, true));
    const uint32_t visible = mustCreate(rw, dataObject("shown", true));
    EXPECT_EQ(findAll(ro, {Y(CKA_LABEL, "hidden")}).size(), 1u);  // the login is the token's
    EXPECT_EQ(destroy(ro, visible), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(logout(rw), CKR_OK);

    EXPECT_TRUE(findAll(ro, {Y(CKA_LABEL, "hidden")}).empty());
    EXPECT_EQ(getAttributes(rw, secret, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(destroy(rw, secret), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(findAll(ro, {U(CKA_CLASS, CKO_DATA), B(CKA_TOKEN, true)}),
              std::vector<uint32_t>{visible});

    // The security officer sees public objects only and cannot make private ones.
    ASSERT_EQ(closeSession(ro), CKR_OK);
    ASSERT_EQ(login(rw, CKU_SO, "12345678"), CKR_OK);
    EXPECT_EQ(getAttributes(rw, secret, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(create(rw, dataObject("so", true, true), &h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(create(rw, dataObject("so", true), &h), CKR_OK);
}

TEST_F(ObjectStoreTest, SessionObjectsGoWithTheirSession) {
    const uint32_t a = openSession();
    const uint32_t b = openSession();
    const uint32_t mine = mustCreate(a, dataObject("session"));
    const uint32_t kept = mustCreate(a, dataObject("token", true));
    EXPECT_EQ(value(b, mine, CKA_LABEL), bytesOf("session"));
    ASSERT_EQ(closeSession(a), CKR_OK);
    EXPECT_EQ(getAttributes(b, mine, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(value(b, kept, CKA_LABEL), bytesOf("token"));
}

TEST_F(ObjectStoreTest, SearchesRunOverSeveralCallsWithTheirOwnCursor) {
    const uint32_t s = userSession();
    const uint32_t other = openSession();
    std::vector<uint32_t> made;
    for (int i = 0; i < 7; ++i) {
        made.push_back(mustCreate(s, dataObject("many")));
    }
    mustCreate(s, dataObject("few"));
    uint32_t rv = 0;
    EXPECT_TRUE(findNext(s, 3, &rv).empty());
    EXPECT_EQ(rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(findFinal(s), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(findInit(s, {U(CKA_CLASS, CKO_DATA), Y(CKA_LABEL, "many")}), CKR_OK);
    EXPECT_EQ(findInit(s, {}), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(findInit(other, {Y(CKA_LABEL, "few")}), CKR_OK);  // a cursor per session
    std::vector<uint32_t> found = findNext(s, 3);
    EXPECT_EQ(found.size(), 3u);
    ASSERT_EQ(destroy(s, made[3]), CKR_OK);  // gone before the cursor reaches it
    for (std::vector<uint32_t> next; !(next = findNext(s, 3)).empty();) {
        EXPECT_LE(next.size(), 3u);
        found.insert(found.end(), next.begin(), next.end());
    }
    made.erase(made.begin() + 3);
    EXPECT_EQ(found, made);
    EXPECT_EQ(findNext(other, 10).size(), 1u);
    EXPECT_EQ(findFinal(s), CKR_OK);
    EXPECT_EQ(findFinal(s), CKR_OPERATION_NOT_INITIALIZED);

    // A secret value never matches, so a search cannot probe it.
    const uint32_t key = mustCreate(s, aesObject());
    EXPECT_TRUE(findAll(s, {Y(CKA_VALUE, kAesKey)}).empty());
    EXPECT_EQ(findAll(s, {U(CKA_KEY_TYPE, CKK_AES)}), std::vector<uint32_t>{key});
}

TEST_F(ObjectStoreTest, LargeValuesLeaveTheReplyAsLengthsSoItFitsTheModule) {
    const uint32_t s = userSession();
    const uint32_t big =
        mustCreate(s, {U(CKA_CLASS, CKO_DATA), Y(CKA_VALUE, Bytes(1900, 0xAA)),
                       Y(CKA_APPLICATION, Bytes(1500, 0xBB)), Y(CKA_LABEL, "big")});
    DeviceResponse r = getAttributes(s, big, {CKA_VALUE, CKA_APPLICATION, CKA_LABEL});
    ASSERT_EQ(r.rv, CKR_OK);
    Bytes encoded;
    EXPECT_TRUE(encodeResponse(r, encoded, 2048));
    EXPECT_EQ(r.attributes[0].length, 1900u);
    EXPECT_TRUE(r.attributes[0].bytes.empty());
    EXPECT_EQ(r.attributes[1].bytes, Bytes(1500, 0xBB));
    EXPECT_EQ(r.attributes[2].bytes, bytesOf("big"));
    // One at a time, each fits.
    EXPECT_EQ(value(s, big, CKA_VALUE), Bytes(1900, 0xAA));

    DeviceRequest size = req(F::GetObjectSize, s);
    size.object = big;
    r = call(size);
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_GE(r.length.value_or(0), 3400u);
}

TEST_F(ObjectStoreTest, CertificatesGetSubjectIssuerAndSerialFromTheirValue) {
    TempDir dir;
    const ::vexa::test::CommandResult made = ::vexa::test::RunShell(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
        " -subj /CN=vexa-test -set_serial 0x1234AB -keyout " +
        dir.file("k.pem") + " -outform DER -out " + dir.file("c.der"));
    ASSERT_EQ(made.status, 0) << made.all();
    const Bytes der = readBytes(dir.file("c.der"));
    const uint32_t s = userSession();
    const uint32_t cert =
        mustCreate(s, {U(CKA_CLASS, CKO_CERTIFICATE), U(CKA_CERTIFICATE_TYPE, CKC_X_509),
                       Y(CKA_VALUE, der), Y(CKA_LABEL, "c1"), B(CKA_TOKEN, true)});
    EXPECT_EQ(value(s, cert, CKA_VALUE), der);
    EXPECT_EQ(value(s, cert, CKA_SERIAL_NUMBER), (Bytes{0x02, 0x03, 0x12, 0x34, 0xAB}));
    const Bytes subject = value(s, cert, CKA_SUBJECT);
    ASSERT_FALSE(subject.empty());
    EXPECT_EQ(subject[0], 0x30);  // a DER Name
    EXPECT_NE(std::search(der.begin(), der.end(), subject.begin(), subject.end()), der.end());
    EXPECT_EQ(value(s, cert, CKA_ISSUER), subject);  // self-signed
    EXPECT_EQ(findAll(s, {U(CKA_CLASS, CKO_CERTIFICATE), Y(CKA_LABEL, "c1")}),
              std::vector<uint32_t>{cert});
}

TEST_F(ObjectStoreTest, TokenObjectsSurviveARestartAndSessionObjectsDoNot) {
    TempDir dir;
    const std::string path = dir.file("state.json");
    std::string error;
    uint32_t kept = 0, keyHandle = 0;
    {
        StateStore state;
        ASSERT_TRUE(state.load(path, error)) << error;
        firmware.onPersistentChange(
            [&] { ASSERT_TRUE(state.save(firmware.token(), error)) << error; });
        const uint32_t s = userSession();
        kept = mustCreate(s, dataObject("kept", true, true));
        mustCreate(s, dataObject("dropped"));
        keyHandle = mustCreate(s, aesObject({B(CKA_TOKEN, true)}));
        ASSERT_EQ(setAttributes(s, kept, {Y(CKA_LABEL, "kept2")}), CKR_OK);
        firmware.onPersistentChange(nullptr);
    }
    ASSERT_FALSE(readBytes(path).empty());

    Firmware restarted(setup(kSerial, "Vexa"));
    StateStore state;
    ASSERT_TRUE(state.load(path, error)) << error;
    ASSERT_TRUE(state.restore(restarted.token(), error)) << error;
    std::swap(firmware.token(), restarted.token());  // the fixture's calls go to the restored token
    const uint32_t s = userSession();
    EXPECT_EQ(value(s, kept, CKA_LABEL), bytesOf("kept2"));
    EXPECT_EQ(findAll(s, {U(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{kept});
    EXPECT_EQ(findAll(s, {U(CKA_KEY_TYPE, CKK_AES)}), std::vector<uint32_t>{keyHandle});
    // Handles are not given out twice.
    EXPECT_GT(mustCreate(s, dataObject("new")), std::max(kept, keyHandle));
}

TEST_F(ObjectStoreTest, MalformedStoredObjectsAreRefusedAsAWhole) {
    TokenObjects objects;
    const char* bad[] = {
        R"({"objects": []})",
        R"({"last_handle": 5, "objects": [{"handle": 9, "attributes": []}]})",
        R"({"last_handle": 5, "objects": [{"handle": 1, "attributes": [{"type": 0, "value": "zz"}]}]})",
        R"({"last_handle": 5, "objects": [{"handle": 1, "attributes": [{"type": 0, "value": "00000000"}]}]})",
        R"({"last_handle": 5, "objects": [{"handle": 1, "attributes": [{"type": 4294967296, "value": ""}]}]})",
        R"([1, 2])",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(objects.loadObjects(nlohmann::json::parse(text))) << text;
    }
    EXPECT_TRUE(objects.loadObjects(nullptr));
    EXPECT_TRUE(objects.loadObjects(nlohmann::json::parse(
        R"({"last_handle": 5, "objects": [{"handle": 1, "attributes": [{"type": 0, "value": "00000000"}, {"type": 1, "value": "01"}]}]})")));
    EXPECT_EQ(objects.saveObjects()["objects"].size(), 1u);
}

}  // namespace
}  // namespace vexa::sim::test
