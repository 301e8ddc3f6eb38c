#include "sim/objects/schema.h"

#include <p11-kit/pkcs11.h>

#include <iterator>

namespace vexa::sim {
namespace {

// Rules shared by every storage object.
constexpr uint16_t kCopyFlag = kCopyChange;
constexpr AttrRule kStorage[] = {
    {CKA_CLASS, 0, Default::None, 0},
    {CKA_TOKEN, kCopyFlag, Default::False, 0},
    // CKA_PRIVATE's default depends on the class; the class tables set it.
    {CKA_MODIFIABLE, kCopyFlag, Default::True, 0},
    {CKA_LABEL, kModifiable, Default::Empty, 0},
    {CKA_COPYABLE, kCopyFlag | kStickyFalse, Default::True, 0},
    {CKA_DESTROYABLE, kCopyFlag, Default::True, 0},
};
constexpr AttrRule kPublicByDefault[] = {{CKA_PRIVATE, kCopyFlag, Default::False, 0}};
constexpr AttrRule kPrivateByDefault[] = {{CKA_PRIVATE, kCopyFlag, Default::True, 0}};

constexpr AttrRule kData[] = {
    {CKA_APPLICATION, kModifiable, Default::Empty, 0},
    {CKA_OBJECT_ID, kModifiable, Default::Empty, 0},
    {CKA_VALUE, kModifiable, Default::Empty, 0},
};

constexpr AttrRule kCertificate[] = {
    {CKA_CERTIFICATE_TYPE, kReqCreate, Default::None, 0},
    {CKA_TRUSTED, kSoOnlyTrue, Default::False, 0},
    {CKA_CERTIFICATE_CATEGORY, 0, Default::Ulong, 0},
    {CKA_CHECK_VALUE, 0, Default::Empty, 0},
    {CKA_START_DATE, kModifiable, Default::Empty, 0},
    {CKA_END_DATE, kModifiable, Default::Empty, 0},
    {CKA_PUBLIC_KEY_INFO, 0, Default::Empty, 0},
};
constexpr AttrRule kX509[] = {
    // The subject, issuer and serial number are taken from the certificate
    // when the template leaves them out.
    {CKA_SUBJECT, 0, Default::Empty, 0},
    {CKA_ID, kModifiable, Default::Empty, 0},
    {CKA_ISSUER, kModifiable, Default::Empty, 0},
    {CKA_SERIAL_NUMBER, kModifiable, Default::Empty, 0},
    {CKA_VALUE, kReqCreate, Default::None, 0},
    {CKA_URL, 0, Default::Empty, 0},
    {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, 0, Default::Empty, 0},
    {CKA_HASH_OF_ISSUER_PUBLIC_KEY, 0, Default::Empty, 0},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, 0, Default::Ulong, 0},
    {CKA_NAME_HASH_ALGORITHM, 0, Default::Ulong, CKM_SHA_1},
};

constexpr uint16_t kDerived = kNoCreate | kNoGenerate | kNoUnwrap;  // set by the device only
constexpr AttrRule kKey[] = {
    {CKA_KEY_TYPE, kReqCreate | kReqUnwrap, Default::None, 0},
    {CKA_ID, kModifiable, Default::Empty, 0},
    {CKA_START_DATE, kModifiable, Default::Empty, 0},
    {CKA_END_DATE, kModifiable, Default::Empty, 0},
    {CKA_DERIVE, kModifiable, Default::False, 0},
    {CKA_LOCAL, kDerived, Default::None, 0},
    {CKA_KEY_GEN_MECHANISM, kDerived, Default::None, 0},
    {CKA_ALLOWED_MECHANISMS, 0, Default::Empty, 0},
};
constexpr AttrRule kPublicKey[] = {
    {CKA_SUBJECT, kModifiable, Default::Empty, 0},
    {CKA_ENCRYPT, kModifiable, Default::True, 0},
    {CKA_VERIFY, kModifiable, Default::True, 0},
    {CKA_VERIFY_RECOVER, kModifiable, Default::False, 0},
    {CKA_WRAP, kModifiable, Default::True, 0},
    {CKA_TRUSTED, kSoOnlyTrue, Default::False, 0},
    {CKA_WRAP_TEMPLATE, 0, Default::Empty, 0},
    {CKA_PUBLIC_KEY_INFO, 0, Default::Empty, 0},
};
constexpr AttrRule kPrivateKey[] = {
    {CKA_SUBJECT, kModifiable, Default::Empty, 0},
    {CKA_SENSITIVE, kModifiable | kStickyTrue, Default::True, 0},
    {CKA_DECRYPT, kModifiable, Default::True, 0},
    {CKA_SIGN, kModifiable, Default::True, 0},
    {CKA_SIGN_RECOVER, kModifiable, Default::False, 0},
    {CKA_UNWRAP, kModifiable, Default::True, 0},
    {CKA_EXTRACTABLE, kModifiable | kStickyFalse, Default::False, 0},
    {CKA_ALWAYS_SENSITIVE, kDerived, Default::None, 0},
    {CKA_NEVER_EXTRACTABLE, kDerived, Default::None, 0},
    {CKA_WRAP_WITH_TRUSTED, kModifiable | kStickyTrue, Default::False, 0},
    {CKA_UNWRAP_TEMPLATE, 0, Default::Empty, 0},
    {CKA_ALWAYS_AUTHENTICATE, 0, Default::False, 0},
    {CKA_PUBLIC_KEY_INFO, 0, Default::Empty, 0},
};
constexpr AttrRule kSecretKey[] = {
    {CKA_SENSITIVE, kModifiable | kStickyTrue, Default::True, 0},
    {CKA_ENCRYPT, kModifiable, Default::True, 0},
    {CKA_DECRYPT, kModifiable, Default::True, 0},
    {CKA_SIGN, kModifiable, Default::True, 0},
    {CKA_VERIFY, kModifiable, Default::True, 0},
    {CKA_WRAP, kModifiable, Default::True, 0},
    {CKA_UNWRAP, kModifiable, Default::True, 0},
    {CKA_EXTRACTABLE, kModifiable | kStickyFalse, Default::False, 0},
    {CKA_ALWAYS_SENSITIVE, kDerived, Default::None, 0},
    {CKA_NEVER_EXTRACTABLE, kDerived, Default::None, 0},
    {CKA_CHECK_VALUE, kDerived, Default::None, 0},
    {CKA_WRAP_WITH_TRUSTED, kModifiable | kStickyTrue, Default::False, 0},
    {CKA_TRUSTED, kSoOnlyTrue, Default::False, 0},
    {CKA_WRAP_TEMPLATE, 0, Default::Empty, 0},
    {CKA_UNWRAP_TEMPLATE, 0, Default::Empty, 0},
};

constexpr uint16_t kMaterial = kNoGenerate | kNoUnwrap;  // key material the device makes
constexpr AttrRule kRsaPublic[] = {
    {CKA_MODULUS, kReqCreate | kNoGenerate, Default::None, 0},
    {CKA_MODULUS_BITS, kNoCreate | kReqGenerate, Default::None, 0},
    {CKA_PUBLIC_EXPONENT, kReqCreate, Default::None, 0},
};
constexpr AttrRule kRsaPrivate[] = {
    {CKA_MODULUS, kReqCreate | kMaterial, Default::None, 0},
    {CKA_PUBLIC_EXPONENT, kReqCreate | kMaterial, Default::None, 0},
    {CKA_PRIVATE_EXPONENT, kReqCreate | kMaterial | kSensitive, Default::None, 0},
    {CKA_PRIME_1, kMaterial | kSensitive, Default::None, 0},
    {CKA_PRIME_2, kMaterial | kSensitive, Default::None, 0},
    {CKA_EXPONENT_1, kMaterial | kSensitive, Default::None, 0},
    {CKA_EXPONENT_2, kMaterial | kSensitive, Default::None, 0},
    {CKA_COEFFICIENT, kMaterial | kSensitive, Default::None, 0},
};
constexpr AttrRule kEcPublic[] = {
    {CKA_EC_PARAMS, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_EC_POINT, kReqCreate | kNoGenerate, Default::None, 0},
};
constexpr AttrRule kEcPrivate[] = {
    {CKA_EC_PARAMS, kReqCreate | kMaterial, Default::None, 0},
    {CKA_VALUE, kReqCreate | kMaterial | kSensitive, Default::None, 0},
};
// AES and generic secrets: the length is given to generation and derived
// from the value otherwise. Unwrapping and derivation may state it.
constexpr AttrRule kSizedSecret[] = {
    {CKA_VALUE, kReqCreate | kMaterial | kSensitive, Default::None, 0},
    {CKA_VALUE_LEN, kNoCreate | kReqGenerate, Default::None, 0},
};
// DSA and DH: the domain parameters come with the public template (or the
// whole key with C_CreateObject); the device makes the values.
constexpr AttrRule kDsaPublic[] = {
    {CKA_PRIME, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_SUBPRIME, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_BASE, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_VALUE, kReqCreate | kNoGenerate, Default::None, 0},
};
constexpr AttrRule kDsaPrivate[] = {
    {CKA_PRIME, kReqCreate | kMaterial, Default::None, 0},
    {CKA_SUBPRIME, kReqCreate | kMaterial, Default::None, 0},
    {CKA_BASE, kReqCreate | kMaterial, Default::None, 0},
    {CKA_VALUE, kReqCreate | kMaterial | kSensitive, Default::None, 0},
};
constexpr AttrRule kDhPublic[] = {
    {CKA_PRIME, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_BASE, kReqCreate | kReqGenerate, Default::None, 0},
    {CKA_VALUE, kReqCreate | kNoGenerate, Default::None, 0},
};
constexpr AttrRule kDhPrivate[] = {
    {CKA_PRIME, kReqCreate | kMaterial, Default::None, 0},
    {CKA_BASE, kReqCreate | kMaterial, Default::None, 0},
    {CKA_VALUE, kReqCreate | kMaterial | kSensitive, Default::None, 0},
    {CKA_VALUE_BITS, kNoCreate, Default::None, 0},
};
// Domain parameters: given whole to C_CreateObject, or made from their
// size (CKA_PRIME_BITS) by parameter generation.
constexpr AttrRule kDomain[] = {
    {CKA_KEY_TYPE, kReqCreate, Default::None, 0},
    {CKA_LOCAL, kDerived, Default::None, 0},
    {CKA_PRIME, kReqCreate | kNoGenerate, Default::None, 0},
    {CKA_BASE, kReqCreate | kNoGenerate, Default::None, 0},
    {CKA_PRIME_BITS, kNoCreate | kReqGenerate, Default::None, 0},
};
constexpr AttrRule kDsaDomain[] = {
    {CKA_SUBPRIME, kReqCreate | kNoGenerate, Default::None, 0},
};
constexpr AttrRule kDes3[] = {
    {CKA_VALUE, kReqCreate | kMaterial | kSensitive, Default::None, 0},
};

struct Table {
    const AttrRule* rules;
    size_t count;
};
template <size_t N>
constexpr Table table(const AttrRule (&rules)[N]) {
    return Table{rules, N};
}

// The parts every object of a class has, in the order they are read.
struct ClassParts {
    uint32_t objectClass;
    Table parts[4];
};

const ClassParts kClassParts[] = {
    {CKO_DATA, {table(kStorage), table(kPublicByDefault)}},
    {CKO_CERTIFICATE, {table(kStorage), table(kPublicByDefault), table(kCertificate)}},
    {CKO_PUBLIC_KEY, {table(kStorage), table(kPublicByDefault), table(kKey), table(kPublicKey)}},
    {CKO_PRIVATE_KEY, {table(kStorage), table(kPrivateByDefault), table(kKey), table(kPrivateKey)}},
    {CKO_SECRET_KEY, {table(kStorage), table(kPrivateByDefault), table(kKey), table(kSecretKey)}},
    {CKO_DOMAIN_PARAMETERS, {table(kStorage), table(kPublicByDefault), table(kDomain)}},
};

// The schemas: a class with a subtype (certificate or key type; unused for
// data objects), whose own parts follow those of the class.
struct ClassSchema {
    uint32_t objectClass;
    uint32_t subtype;
    Table own;
};

const ClassSchema kSchemas[] = {
    {CKO_DATA, 0, table(kData)},
    {CKO_CERTIFICATE, CKC_X_509, table(kX509)},
    {CKO_PUBLIC_KEY, CKK_RSA, table(kRsaPublic)},
    {CKO_PUBLIC_KEY, CKK_EC, table(kEcPublic)},
    {CKO_PRIVATE_KEY, CKK_RSA, table(kRsaPrivate)},
    {CKO_PRIVATE_KEY, CKK_EC, table(kEcPrivate)},
    {CKO_SECRET_KEY, CKK_AES, table(kSizedSecret)},
    {CKO_SECRET_KEY, CKK_GENERIC_SECRET, table(kSizedSecret)},
    {CKO_SECRET_KEY, CKK_DES3, table(kDes3)},
    {CKO_SECRET_KEY, CKK_DES2, table(kDes3)},
    {CKO_PUBLIC_KEY, CKK_DSA, table(kDsaPublic)},
    {CKO_PRIVATE_KEY, CKK_DSA, table(kDsaPrivate)},
    {CKO_PUBLIC_KEY, CKK_DH, table(kDhPublic)},
    {CKO_PRIVATE_KEY, CKK_DH, table(kDhPrivate)},
    {CKO_DOMAIN_PARAMETERS, CKK_DSA, table(kDsaDomain)},
    {CKO_DOMAIN_PARAMETERS, CKK_DH, Table{}},
    {CKO_SECRET_KEY, CKK_DES, table(kDes3)},
};

}  // namespace

uint32_t subtypeAttribute(uint32_t objectClass) {
    switch (objectClass) {
        case CKO_CERTIFICATE:
            return CKA_CERTIFICATE_TYPE;
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY:
        case CKO_SECRET_KEY:
        case CKO_DOMAIN_PARAMETERS:
            return CKA_KEY_TYPE;
        default:
            return 0;
    }
}

namespace {

void appendRules(const Table& t, std::vector<const AttrRule*>& out) {
    for (size_t i = 0; i < t.count; ++i) {
        // A later table may refine an attribute of an earlier one (CKA_ID
        // of certificates and keys); the first wins.
        if (findRule(out, t.rules[i].type) == nullptr) {
            out.push_back(&t.rules[i]);
        }
    }
}

std::vector<const AttrRule*> flatten(const ClassSchema& s) {
    std::vector<const AttrRule*> out;
    for (const ClassParts& c : kClassParts) {
        if (c.objectClass == s.objectClass) {
            for (const Table& t : c.parts) {
                appendRules(t, out);
            }
        }
    }
    appendRules(s.own, out);
    return out;
}

}  // namespace

const std::vector<const AttrRule*>& schemaFor(uint32_t objectClass, uint32_t subtype) {
    static const std::vector<std::vector<const AttrRule*>> flat = [] {
        std::vector<std::vector<const AttrRule*>> all;
        for (const ClassSchema& s : kSchemas) {
            all.push_back(flatten(s));
        }
        return all;
    }();
    static const std::vector<const AttrRule*> kNone;
    const bool hasSubtype = subtypeAttribute(objectClass) != 0;
    for (size_t i = 0; i < std::size(kSchemas); ++i) {
        if (kSchemas[i].objectClass == objectClass &&
            (!hasSubtype || kSchemas[i].subtype == subtype)) {
            return flat[i];
        }
    }
    return kNone;
}

const AttrRule* findRule(const std::vector<const AttrRule*>& schema, uint32_t type) {
    for (const AttrRule* r : schema) {
        if (r->type == type) {
            return r;
        }
    }
    return nullptr;
}

}  // namespace vexa::sim
