#!/usr/bin/python3
"""A Python application on the Vexa PKCS#11 module, through PyKCS11.

    pykcs11_client.py MODULE OUTDIR

Lists the slots and tokens, logs in on the first token, checks a digest
and random bytes, generates an RSA and an EC key pair on the device, signs
with each (hashed RSA, raw ECDSA over a SHA-256 hash) and verifies on the
token, then writes each public key (DER SubjectPublicKeyInfo) and signature
(in OpenSSL's form) to OUTDIR for OpenSSL to verify. Encrypts and decrypts
5000 bytes with AES-CBC-PAD in single calls, as Java's Cipher.doFinal does,
and writes the key, IV and ciphertext for OpenSSL. Finds and destroys a
data object. Prints one line per result; exits 0 when every step worked.
"""
import hashlib
import os
import sys

import PyKCS11

PIN = "123456"
DATA = b"signed from Python through PyKCS11\n"
P256_OID = bytes.fromhex("06082a8648ce3d030107")


def der(tag, body):
    """One DER element."""
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + body


def der_int(value):
    raw = bytes(value).lstrip(b"\x00") or b"\x00"
    if raw[0] & 0x80:
        raw = b"\x00" + raw
    return der(0x02, raw)


def rsa_spki(modulus, exponent):
    algorithm = der(0x30, bytes.fromhex("06092a864886f70d010101") + b"\x05\x00")
    key = der(0x30, der_int(modulus) + der_int(exponent))
    return der(0x30, algorithm + der(0x03, b"\x00" + key))


def ec_spki(ec_point):
    point = bytes(ec_point)
    if point[0] == 0x04 and point[1] == len(point) - 2:
        point = point[2:]  # CKA_EC_POINT is a DER OCTET STRING
    algorithm = der(0x30, bytes.fromhex("06072a8648ce3d0201") + P256_OID)
    return der(0x30, algorithm + der(0x03, b"\x00" + point))


def write(outdir, name, data):
    with open(os.path.join(outdir, name), "wb") as out:
        out.write(bytes(data))


def main():
    module, outdir = sys.argv[1], sys.argv[2]
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    info = lib.getInfo()
    print("library:", info.manufacturerID.strip(), "/", info.libraryDescription.strip())
    slots = lib.getSlotList(tokenPresent=True)
    print("slots:", len(slots))
    for slot in slots:
        token = lib.getTokenInfo(slot)
        print("token:", token.label.strip(), token.serialNumber.strip())

    session = lib.openSession(slots[0], PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(PIN)
    print("logged in")

    digest = bytes(session.digest(DATA, PyKCS11.Mechanism(PyKCS11.CKM_SHA256)))
    print("digest:", "ok" if digest == hashlib.sha256(DATA).digest() else "WRONG")
    random = bytes(session.generateRandom(32))
    print("random bytes:", len(random))

    # RSA: hashed PKCS #1 v1.5.
    rsa_pub_template = [
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_MODULUS_BITS, 2048),
        (PyKCS11.CKA_PUBLIC_EXPONENT, (0x01, 0x00, 0x01)),
        (PyKCS11.CKA_VERIFY, PyKCS11.CK_TRUE),
        (PyKCS11.CKA_LABEL, "py-rsa"),
    ]
    rsa_priv_template = [
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_SIGN, PyKCS11.CK_TRUE),
        (PyKCS11.CKA_LABEL, "py-rsa"),
    ]
    rsa_pub, rsa_priv = session.generateKeyPair(
        rsa_pub_template, rsa_priv_template, mecha=PyKCS11.MechanismRSAGENERATEKEYPAIR)
    mechanism = PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None)
    signature = session.sign(rsa_priv, DATA, mechanism)
    print("rsa verify on token:", session.verify(rsa_pub, DATA, signature, mechanism))
    print("rsa verify other data:", session.verify(rsa_pub, DATA + b"!", signature, mechanism))
    modulus, exponent = session.getAttributeValue(
        rsa_pub, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
    write(outdir, "rsa.pub.der", rsa_spki(modulus, exponent))
    write(outdir, "rsa.sig", signature)

    # EC P-256: raw ECDSA over a SHA-256 hash; the signature is r || s.
    ec_pub_template = [
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_EC_PARAMS, P256_OID),
        (PyKCS11.CKA_VERIFY, PyKCS11.CK_TRUE),
        (PyKCS11.CKA_LABEL, "py-ec"),
    ]
    ec_priv_template = [
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_SIGN, PyKCS11.CK_TRUE),
        (PyKCS11.CKA_LABEL, "py-ec"),
    ]
    ec_pub, ec_priv = session.generateKeyPair(
        ec_pub_template, ec_priv_template, mecha=PyKCS11.MechanismECGENERATEKEYPAIR)
    ecdsa = PyKCS11.Mechanism(PyKCS11.CKM_ECDSA, None)
    hashed = hashlib.sha256(DATA).digest()
    rs = bytes(session.sign(ec_priv, hashed, ecdsa))
    print("ecdsa signature bytes:", len(rs))
    print("ecdsa verify on token:", session.verify(ec_pub, hashed, rs, ecdsa))
    (point,) = session.getAttributeValue(ec_pub, [PyKCS11.CKA_EC_POINT])
    half = len(rs) // 2
    write(outdir, "ec.pub.der", ec_spki(point))
    write(outdir, "ec.sig", der(0x30, der_int(rs[:half]) + der_int(rs[half:])))

    # AES in one call of more data than one device request holds.
    aes_value = bytes(range(32))
    iv = bytes(range(16, 32))
    aes = session.createObject([
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY),
        (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_VALUE, aes_value),
    ])
    plain = bytes(i % 251 for i in range(5000))
    cbc_pad = PyKCS11.Mechanism(PyKCS11.CKM_AES_CBC_PAD, iv)
    cipher = bytes(session.encrypt(aes, plain, cbc_pad))
    print("aes ciphertext bytes:", len(cipher))
    print("aes round trip:", bytes(session.decrypt(aes, cipher, cbc_pad)) == plain)
    write(outdir, "aes.plain", plain)
    write(outdir, "aes.cipher", cipher)

    # A data object: created, found by label, destroyed.
    session.createObject([
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA),
        (PyKCS11.CKA_TOKEN, PyKCS11.CK_FALSE),
        (PyKCS11.CKA_LABEL, "py-note"),
        (PyKCS11.CKA_VALUE, b"kept for a moment"),
    ])
    found = session.findObjects([(PyKCS11.CKA_LABEL, "py-note")])
    (value,) = session.getAttributeValue(found[0], [PyKCS11.CKA_VALUE]) if found else ([],)
    print("data objects found:", len(found), bytes(value).decode())
    for handle in found:
        session.destroyObject(handle)
    print("data objects after destroy:",
          len(session.findObjects([(PyKCS11.CKA_LABEL, "py-note")])))

    session.logout()
    session.closeSession()
    print("python client passed")


if __name__ == "__main__":
    main()
