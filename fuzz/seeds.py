#!/usr/bin/env python3
"""Writes the seed corpus of the frame-based fuzz targets (fuzz/corpus/<target>/).

The upload's seed is a container made by `nv-term cxfw`, kept as it is. Run from anywhere:
    python3 fuzz/seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(code, payload=b"", param=0, status=0):
    head = b"ZORV" + struct.pack("<HHHB", code, len(payload) + 1, param, status)
    hx = 0
    for b in head:
        hx ^= b
    dx = 0
    for b in payload:
        dx ^= b
    return head + bytes([hx]) + payload + bytes([dx])


def i32s(*values):
    return b"".join(struct.pack("<i", v) for v in values)


def spectrum(count=1024, number=1):
    p = bytearray(4326)
    p[2:6] = struct.pack("<i", count)
    p[8:10] = struct.pack("<H", number)
    p[112:120] = i32s(30, 31)
    for i in range(1024):
        p[230 + 4 * i:234 + 4 * i] = struct.pack("<i", (i * 7) % 500)
    return bytes(p)


def announcement(ident, address=b"127.0.0.1", name=b"NV-52 C0001234"):
    return frame(8600, ident.ljust(10, b"\0") + address.ljust(16, b"\0") + name.ljust(40, b"\0"))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


ident = frame(9007, b"C0001234")
status = frame(9203, bytes(346))
bad_header = bytearray(frame(9203, b"xy"))
bad_header[11] ^= 1
bare = b"ZORV" + struct.pack("<HHHB", 10003, 0, 0, 0)
bare += bytes([0x5A ^ 0x4F ^ 0x52 ^ 0x56 ^ (10003 & 0xFF) ^ (10003 >> 8)])

# Parser: link choice, piece size, then the stream.
write("fuzz_parser", "identify", bytes([0, 255]) + ident + status)
write("fuzz_parser", "identified_events",
      bytes([1, 6]) + frame(10012, i32s(1, 5, 0)) + frame(10002, spectrum()) + bare)
write("fuzz_parser", "noise_and_breaks",
      bytes([3, 0]) + b"xxZZORV" + bytes(bad_header) + ident + frame(12289, b"", 0, 0))
write("fuzz_parser", "announcement_then_reply",
      bytes([1, 255]) + announcement(b"C0001234") + frame(12290, b"", 8203, 1))

# Discovery: datagrams of one length byte and their bytes.
a1, a2 = announcement(b"C0001234"), announcement(b"C0005678", b"", b"bench unit")
write("fuzz_discovery", "two_devices", bytes([len(a1)]) + a1 + bytes([len(a2)]) + a2)
write("fuzz_discovery", "duplicate_in_one", bytes([2 * len(a1)]) + a1 + a1)
write("fuzz_discovery", "not_an_announcement", bytes([13]) + frame(8601, b"", 3000))

# Event handlers: handler index, param, status, payload.
events = [spectrum(), i32s(0, 3), bytes(16), bytes(346), bytes(12), i32s(2, 45, 0), i32s(0, -1)]
for index, payload in enumerate(events):
    write("fuzz_q8_events", "handler%d" % index, bytes([index, 0, 0, 0]) + payload)
write("fuzz_q8_events", "spectrum_short", bytes([0, 0, 0, 0]) + spectrum()[:300])

# Console parsers: parser index, limits, piece index, text.
texts = [(0, -100, 100, "42"), (1, 0, 0xFFFF, "1F"), (2, 0, 255, "ff"), (3, 0, 0xFFFF, "0x12"),
         (4, -160, 1600, "2.5"), (5, 1, 32, "  name  "), (6, -100, 100, "sa 12 x"),
         (7, 1, 64, "up fw.xfw")]
for parser, lo, hi, text in texts:
    head = bytes([parser]) + struct.pack("<ii", lo, hi) + bytes([1])
    write("fuzz_input", "parser%d" % parser, head + text.encode())
