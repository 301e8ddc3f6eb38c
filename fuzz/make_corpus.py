#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, well-formed input in the layout its target documents,
so that the fuzzer starts from every path that matters instead of having to
discover the framings and the message schema by itself. Run it again after
changing a layout; the files are committed.
"""
import json
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "corpus")


def read_function_ids():
    """Request.function_id by name, read from the call table's FunctionId enum."""
    path = os.path.join(HERE, "..", "src", "rpc", "function_ids.h")
    with open(path) as f:
        text = f.read()
    body = re.search(r"enum class FunctionId : uint32_t \{(.*?)\};", text, re.S)
    if body is None:
        sys.exit("make_corpus: no FunctionId enum in " + path)
    return {name: int(value) for name, value in re.findall(r"(\w+) = (\d+),", body.group(1))}


ID = read_function_ids()


# ---- protocol buffers, by hand (the schema is proto/vexa.proto) ----
def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def u32(field, value):
    return varint(field << 3) + varint(value)


def ln(field, data):
    return varint(field << 3 | 2) + varint(len(data)) + data


def attr_ulong(t, v):
    return u32(1, t) + u32(4, v)


def attr_bool(t, v):
    return u32(1, t) + u32(5, 1 if v else 0)


def attr_bytes(t, b):
    return u32(1, t) + u32(2, len(b)) + ln(3, b)


def attr_type(t):
    return u32(1, t)


def request(fid, session=None, mechanism=None, data=None, template=(), obj=None,
            length_only=None, value=None, template2=(), data2=None, out_capacity=None):
    m = u32(1, fid)
    if session is not None:
        m += u32(2, session)
    if mechanism is not None:
        m += ln(3, mechanism)
    if data is not None:
        m += ln(4, data)
    for a in template:
        m += ln(5, a)
    if obj is not None:
        m += u32(6, obj)
    if length_only is not None:
        m += u32(7, 1 if length_only else 0)
    if value is not None:
        m += u32(8, value)
    for a in template2:
        m += ln(9, a)
    if data2 is not None:
        m += ln(10, data2)
    if out_capacity is not None:
        m += u32(11, out_capacity)
    return m


def mech(t, param=None, generic=True):
    m = u32(1, t)
    if param is not None or generic:
        p = param or b""
        if generic:
            m += u32(2, len(p))
        m += ln(3, p)
    return m


def token_info():
    t = ln(1, b"Vexa Token".ljust(32)) + ln(2, b"Talvoranth".ljust(32))
    t += ln(3, b"Vexa".ljust(16)) + ln(4, b"564558410001".ljust(16))
    for field, v in enumerate([0x40D, 64, 1, 64, 1, 32, 4, 0xFFFFFFFF, 0xFFFFFFFF,
                               0xFFFFFFFF, 0xFFFFFFFF, 2, 0, 1, 6], start=5):
        t += u32(field, v)
    return t + ln(20, b"2026121000000000")


def response(rv=0, handle=None, data=None, length=None, handle2=None, attributes=(),
             session_info=None, token=None):
    m = u32(1, rv)
    if handle is not None:
        m += u32(2, handle)
    if data is not None:
        m += ln(3, data)
    if length is not None:
        m += u32(4, length)
    if handle2 is not None:
        m += u32(5, handle2)
    for a in attributes:
        m += ln(6, a)
    if session_info is not None:
        m += ln(7, session_info)
    if token is not None:
        m += ln(8, token)
    return m


# PKCS#11 numbers used below.
CKA_CLASS, CKA_TOKEN, CKA_LABEL, CKA_VALUE = 0x0, 0x1, 0x3, 0x11
CKA_KEY_TYPE, CKA_ID, CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN = 0x100, 0x102, 0x104, 0x105, 0x108
CKA_VALUE_LEN, CKA_EC_PARAMS = 0x161, 0x180
CKO_DATA, CKO_SECRET_KEY = 0, 4
CKK_GENERIC_SECRET, CKK_AES = 0x10, 0x1F
CKM_SHA256, CKM_SHA256_HMAC, CKM_GENERIC_SECRET_KEY_GEN = 0x250, 0x251, 0x350
CKM_EC_KEY_PAIR_GEN, CKM_ECDSA = 0x1040, 0x1041
CKM_AES_KEY_GEN, CKM_AES_ECB, CKM_AES_CBC, CKM_AES_KEY_WRAP = 0x1080, 0x1081, 0x1082, 0x2109
P256 = bytes.fromhex("06082a8648ce3d030107")


def block(b):
    return struct.pack(">H", len(b)) + b


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- firmware_fuzzer: blocks of requests ----
def firmware():
    open_rw = request(ID["OpenSession"], value=0x6)
    login = request(ID["Login"], session=1, value=1, data=b"123456")
    seeds = {
        "session-info": [open_rw, request(ID["GetSessionInfo"], session=1), request(ID["GetTokenInfo"]), request(ID["CloseSession"], session=1)],
        "login-random": [open_rw, login, request(ID["GenerateRandom"], session=1, out_capacity=32),
                         request(ID["SeedRandom"], session=1, data=b"seed"), request(ID["Logout"], session=1)],
        "wrong-pin": [open_rw, request(ID["Login"], session=1, value=1, data=b"000000")] * 2,
        "set-pin": [open_rw, login, request(ID["SetPIN"], session=1, data=b"123456", data2=b"654321")],
        "init-token": [request(ID["InitToken"], data=b"12345678", data2=b"New label".ljust(32))],
        "data-object": [open_rw, login,
                        request(ID["CreateObject"], session=1, template=[attr_ulong(CKA_CLASS, CKO_DATA),
                                                         attr_bool(CKA_TOKEN, False),
                                                         attr_bytes(CKA_LABEL, b"label"),
                                                         attr_bytes(CKA_VALUE, b"value")]),
                        request(ID["FindObjectsInit"], session=1, template=[attr_ulong(CKA_CLASS, CKO_DATA)]),
                        request(ID["FindObjects"], session=1, out_capacity=10), request(ID["FindObjectsFinal"], session=1),
                        request(ID["GetAttributeValue"], session=1, obj=1,
                                template=[attr_type(CKA_LABEL), attr_type(CKA_VALUE)]),
                        request(ID["GetObjectSize"], session=1, obj=1), request(ID["DestroyObject"], session=1, obj=1)],
        "aes": [open_rw, login,
                request(ID["GenerateKey"], session=1, mechanism=mech(CKM_AES_KEY_GEN, generic=False),
                        template=[attr_ulong(CKA_VALUE_LEN, 16), attr_bool(CKA_ENCRYPT, True),
                                  attr_bool(CKA_DECRYPT, True)]),
                request(ID["EncryptInit"], session=1, mechanism=mech(CKM_AES_ECB), obj=1),
                request(ID["Encrypt"], session=1, data=bytes(16), out_capacity=64),
                request(ID["DecryptInit"], session=1, mechanism=mech(CKM_AES_CBC, bytes(16)), obj=1),
                request(ID["DecryptUpdate"], session=1, data=bytes(32), out_capacity=64),
                request(ID["DecryptFinal"], session=1, out_capacity=64)],
        "hmac": [open_rw, login,
                 request(ID["CreateObject"], session=1, template=[attr_ulong(CKA_CLASS, CKO_SECRET_KEY),
                                                  attr_ulong(CKA_KEY_TYPE, CKK_GENERIC_SECRET),
                                                  attr_bytes(CKA_VALUE, b"k" * 32),
                                                  attr_bool(CKA_SIGN, True)]),
                 request(ID["SignInit"], session=1, mechanism=mech(CKM_SHA256_HMAC), obj=1),
                 request(ID["SignUpdate"], session=1, data=b"part"),
                 request(ID["SignFinal"], session=1, out_capacity=64)],
        "digest": [open_rw, request(ID["DigestInit"], session=1, mechanism=mech(CKM_SHA256, generic=False)),
                   request(ID["DigestUpdate"], session=1, data=b"abc"), request(ID["DigestFinal"], session=1, out_capacity=32)],
        "ecdsa": [open_rw, login,
                  request(ID["GenerateKeyPair"], session=1, mechanism=mech(CKM_EC_KEY_PAIR_GEN, generic=False),
                          template=[attr_bytes(CKA_EC_PARAMS, P256)],
                          template2=[attr_bool(CKA_SIGN, True)]),
                  request(ID["SignInit"], session=1, mechanism=mech(CKM_ECDSA), obj=2),
                  request(ID["Sign"], session=1, data=bytes(32), out_capacity=64)],
        "wrap": [open_rw, login,
                 request(ID["GenerateKey"], session=1, mechanism=mech(CKM_AES_KEY_GEN, generic=False),
                         template=[attr_ulong(CKA_VALUE_LEN, 16)]),
                 request(ID["WrapKey"], session=1, mechanism=mech(CKM_AES_KEY_WRAP), obj=1, value=1,
                         out_capacity=64)],
        # 63: an id without a row in the call table.
        "undecodable": [b"\xff\xff\xff", b"", request(63), request(ID["OpenSession"])],
    }
    for name, requests in seeds.items():
        write("firmware_fuzzer", name, b"".join(block(r) for r in requests))


# ---- module_response_fuzzer: operations and their replies ----
def op(name):
    """A step's operation byte: the function id of the call whose exchange it makes."""
    return bytes([ID[name]])


def template(*attrs):
    """attrs: (table index, size, null)"""
    out = bytes([len(attrs)])
    for pick, size, null in attrs:
        out += bytes([pick, size, 1 if null else 0])
    return out


def output(capacity, null=False):
    return struct.pack(">HB", capacity, 1 if null else 0)


def data(b):
    return bytes([len(b)]) + b


def mechanism(kind, size=0, mtype=None):
    out = bytes([size, kind])
    if kind >= 5:
        out += struct.pack(">I", mtype or 0)
    return out


def module():
    ok = block(response())
    seeds = {
        "token-info": op("GetTokenInfo") + b"\x00" + block(response(token=token_info())),
        "session-info": op("GetSessionInfo") + block(response(session_info=u32(1, 3) + u32(2, 6) + u32(3, 0))),
        "open-login": op("OpenSession") + b"\x01" + block(response(handle=7)) + ok
        + op("Login") + data(b"123456") + b"\x01" + ok,
        "random": op("GenerateRandom") + struct.pack(">H", 16) + block(response(data=bytes(16))),
        "attributes": op("GetAttributeValue") + template((0, 8, False), (3, 16, False), (4, 0, True))
        + struct.pack(">I", 1)
        + block(response(attributes=[attr_ulong(CKA_CLASS, CKO_DATA), attr_bytes(CKA_LABEL, b"label"),
                                     u32(1, CKA_VALUE) + u32(2, 5)])),
        "attributes-array": op("GetAttributeValue") + template((11, 48, False)) + struct.pack(">I", 1)
        + block(response(attributes=[u32(1, 0x40000211) + u32(2, 24) + ln(3, bytes(24))])),
        "find": op("FindObjectsInit") + template((0, 8, False)) + ok
        + op("FindObjects") + b"\x05" + block(response(data=struct.pack("<III", 1, 2, 3), length=3))
        + op("FindObjectsFinal") + ok,
        "create": op("CreateObject") + template((0, 8, False), (3, 5, False)) + block(response(handle=9)),
        "object-size": op("GetObjectSize") + struct.pack(">I", 9) + block(response(length=120)),
        "encrypt": op("EncryptInit") + mechanism(3, 16) + struct.pack(">I", 1) + ok
        + op("Encrypt") + data(bytes(16)) + output(32) + block(response(data=bytes(16), length=16)),
        "encrypt-size-query": op("Encrypt") + data(bytes(16)) + output(0, True) + block(response(length=16)),
        "encrypt-too-small": op("EncryptUpdate") + data(bytes(32)) + output(8)
        + block(response(rv=0x150, length=32)),
        "decrypt": op("DecryptInit") + mechanism(1) + struct.pack(">I", 1) + ok
        + op("Decrypt") + data(bytes(16)) + output(16) + block(response(data=bytes(10)))
        + op("DecryptFinal") + output(16) + block(response(data=b"")),
        "sign": op("SignInit") + mechanism(4) + struct.pack(">I", 2) + ok
        + op("Sign") + data(bytes(32)) + output(64) + block(response(data=bytes(64)))
        + op("SignUpdate") + data(b"x") + ok + op("SignFinal") + output(64) + block(response(data=bytes(64))),
        "verify": op("VerifyInit") + mechanism(0) + struct.pack(">I", 2) + ok
        + op("Verify") + data(b"abc") + data(bytes(64)) + block(response(rv=0xC0)),
        "digest": op("DigestInit") + mechanism(5, 0, CKM_SHA256) + ok
        + op("DigestUpdate") + b"\x01" + data(b"abc") + output(32) + ok + block(response(data=bytes(32)))
        + op("DigestFinal") + output(32) + block(response(data=bytes(32))),
        "keys": op("GenerateKey") + mechanism(5, 0, CKM_AES_KEY_GEN) + template((12, 8, False))
        + block(response(handle=3))
        + op("GenerateKeyPair") + mechanism(5, 0, CKM_EC_KEY_PAIR_GEN) + template((10, 10, False))
        + template((7, 1, False)) + block(response(handle=4, handle2=5)),
        "wrap": op("WrapKey") + mechanism(5, 0, CKM_AES_KEY_WRAP) + struct.pack(">I", 1) + output(40)
        + struct.pack(">I", 3) + block(response(data=bytes(24), length=24))
        + op("UnwrapKey") + mechanism(5, 0, CKM_AES_KEY_WRAP) + data(bytes(24)) + template((5, 8, False))
        + struct.pack(">I", 1) + block(response(handle=6)),
        "derive": op("DeriveKey") + mechanism(2, 65) + template((1, 1, False)) + struct.pack(">I", 4)
        + block(response(handle=8)),
        "broken-replies": op("GetTokenInfo") + b"\x00" + block(b"\xff\xff") + op("GetSessionInfo")
        + block(b"") + op("GenerateRandom") + struct.pack(">H", 4) + block(response(data=bytes(40))),
    }
    for i, (name, body) in enumerate(seeds.items()):
        write("module_response_fuzzer", name, bytes([i % 3]) + body)


# ---- relay_read_fuzzer ----
def frame(flag, payload, length=None):
    n = len(payload) if length is None else length
    return struct.pack("<IB", n, flag) + payload


def relay():
    def rec(b):
        return b"\x00" + block(b)

    def fr(flag, payload):
        return b"\x01" + bytes([flag]) + struct.pack(">H", len(payload)) + payload

    split = frame(0, bytes(range(200)))
    seeds = {
        "one-frame": b"\x00\x00" + fr(0, b"request bytes"),
        "zero-length": b"\x00\x01" + fr(0, b"") + fr(7, b""),
        "echo-and-device": b"\x00\x02" + fr(1, b"echo") + fr(0, bytes(300)),
        "full-capacity": b"\x00\x00" + fr(0, bytes(4096)),
        "oversized": b"\x00\x00" + rec(frame(0, b"", 4097)),
        "huge-length": b"\x00\x03" + rec(struct.pack("<IB", 0xFFFFFFFF, 0)),
        "split-header": b"\x00\x00" + rec(split[:3]) + rec(split[3:]),
        "split-payload": b"\x00\x01" + rec(split[:5]) + rec(split[5:50]) + b"\x03" + rec(split[50:]),
        "frames-in-one-record": b"\x00\x00" + rec(frame(0, b"a") + frame(1, b"bc") + frame(0, b"")),
        "garbage-after": b"\x00\x00" + fr(0, b"ok") + b"\x02" + block(b"\x17\x03\x03\x00\x10" + bytes(16)),
        "garbage-only": b"\x00\x02" + b"\x02" + block(b"GET / HTTP/1.1\r\n\r\n"),
        "close-notify": b"\x00\x00" + fr(0, b"last") + b"\x04",
        "small-capacity": b"\x03\x00" + fr(0, b"too long for one byte") + fr(0, b"x"),
        "no-capacity": b"\x02\x01" + fr(0, b"") + fr(0, b"y"),
        "header-pause": b"\x00\x01" + b"\x03" + fr(0, b"after a pause"),
        "short-header": b"\x00\x00" + rec(b"\x01\x00"),
    }
    for name, body in seeds.items():
        write("relay_read_fuzzer", name, body)


# ---- hid_fetch_fuzzer ----
def hid():
    def header(channel, report=65, chan=0x01020304, fail=0xFF):
        return bytes([1 if channel else 0, report]) + struct.pack(">IB", chan, fail)

    def report(b):
        return bytes([len(b)]) + b

    def read(capacity):
        return b"\x02" + struct.pack(">H", capacity + 1)  # inRange(-1, 8000)

    def write_op(b):
        return b"\x00" + struct.pack(">H", len(b)) + b

    def u2f_init(chan, cmd, length, payload):
        p = struct.pack(">IBH", chan, cmd, length) + payload[:57]
        return p.ljust(64, b"\xee")

    def u2f_cont(chan, seq, payload):
        return (struct.pack(">IB", chan, seq) + payload[:59]).ljust(64, b"\xee")

    def u2f_message(chan, msg):
        packets = [u2f_init(chan, 0xC0, len(msg), msg)]
        at, seq = 57, 0
        while at < len(msg):
            packets.append(u2f_cont(chan, seq, msg[at:]))
            at += 59
            seq += 1
        return b"".join(report(p) for p in packets)

    def plain_message(msg, rl=64):
        out = report((bytes([1, 0]) + struct.pack("<I", len(msg))[:3] + msg[:rl - 5]).ljust(rl, b"\0"))
        at = rl - 5
        while at < len(msg):
            out += report((bytes([1, 1]) + msg[at:at + rl - 2]).ljust(rl, b"\0"))
            at += rl - 2
        return out

    chan = 0x01020304
    long_msg = bytes(range(256)) * 2
    seeds = {
        "channel-short": header(True) + write_op(b"req") + read(2048) + u2f_message(chan, b"answer"),
        "channel-long": header(True) + write_op(b"req") + read(2048) + u2f_message(chan, long_msg),
        "channel-partial-reads": header(True) + read(10) + u2f_message(chan, bytes(100)) + read(50) + read(100),
        "channel-error": header(True) + read(64) + report(u2f_init(chan, 0xBF, 1, b"\x7f")),
        "channel-other-channel": header(True) + read(64) + report(u2f_init(7, 0xC0, 3, b"abc"))
        + u2f_message(chan, b"mine"),
        "channel-bad-sequence": header(True) + read(500) + report(u2f_init(chan, 0xC0, 200, bytes(57)))
        + report(u2f_cont(chan, 1, bytes(59))),
        "channel-timeout": header(True) + read(64) + b"\xfe",
        "channel-read-error": header(True) + read(64) + b"\xff",
        "channel-write-fails": header(True, fail=1) + write_op(b"req") + read(64),
        "plain-short": header(False) + b"\xfe" + write_op(b"req") + read(2048) + plain_message(b"plain answer"),
        "plain-long": header(False) + b"\xfe" + read(2048) + plain_message(long_msg),
        "plain-bad-packet-id": header(False) + b"\xfe" + read(64) + report(bytes([1, 9]) + bytes(62)),
        "plain-continuation-first": header(False) + b"\xfe" + read(64) + report(bytes([1, 1]) + bytes(62)),
        "plain-tiny-reports": header(False, report=7) + b"\xfe" + write_op(b"request") + read(64)
        + plain_message(b"abcdef", rl=6),
        "reopen": header(True) + b"\x01" + read(64) + u2f_message(chan, b"again"),
    }
    for name, body in seeds.items():
        write("hid_fetch_fuzzer", name, body)


# ---- configuration files ----
def configs():
    module_docs = {
        "empty": "{}",
        "full": json.dumps({"logging": {"enabled": True, "loglevel": 10, "logfile": "/dev/null",
                                        "logconsole": False},
                            "transport": {"address": "localhost", "port": 4443,
                                          "cacertbundle": "/etc/vexa/ca.pem", "vid": 1155,
                                          "pid": 41644, "usagePage": 0},
                            "timeout": 12000, "keytimeout": 65000}),
        "usb-only": '{"transport": {"vid": 1155, "pid": 41644, "usagePage": 61904}}',
        "logging-off": '{"logging": {"enabled": false}}',
        "wrong-types": '{"logging": [], "transport": {"port": "4443", "address": 1}, "timeout": "x"}',
        "out-of-range": '{"transport": {"vid": 70000, "address": "h", "port": 0}, "timeout": -1}',
        "fractions": '{"timeout": 1.5e3, "keytimeout": 1e300, "logging": {"loglevel": -2.5}}',
        "no-bundle": '{"transport": {"address": "localhost", "port": 4443}}',
        "not-object": "[1, 2, 3]",
        "truncated": '{"logging": {"loglevel": 1',
        "null": "null",
        "escapes": '{"transport": {"address": "\\u0000\\ud83d\\ude00", "port": 1, "cacertbundle": ""}}',
    }
    for name, text in module_docs.items():
        write("module_config_fuzzer", name, text.encode())

    def daemon_input(args, text):
        out = bytes([len(args)])
        for a in args:
            out += bytes([len(a)]) + a.encode()
        return out + text.encode()

    daemon_docs = {
        "full": ([], json.dumps({"device": "0123456789AB", "port": "4443", "bindaddress": "0.0.0.0",
                                 "cafile": "ca.pem", "certfile": "server.pem",
                                 "keyfile": "/etc/vexa/key.pem"})),
        "options-win": (["-p", "5000", "-d", "564558410001", "-ca", "/abs.pem"], '{"port": "1"}'),
        "wrong-types": (["install"], '{"port": 4443, "device": null, "cafile": ["x"]}'),
        "not-object": (["service"], '"text"'),
        "broken": (["-key"], '{"device": '),
        "empty": ([], ""),
        "short-paths": (["stop", "start"], '{"cafile": "ab", "certfile": "/x", "keyfile": ""}'),
    }
    for name, (args, text) in daemon_docs.items():
        write("daemon_config_fuzzer", name, daemon_input(args, text))


if __name__ == "__main__":
    firmware()
    module()
    relay()
    hid()
    configs()
    sys.exit(0)
