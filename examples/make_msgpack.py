#!/usr/bin/env python3
"""Writes sample.msgpack from sample.json, so the two samples hold the same document.

Self-contained (no msgpack module needed): a minimal encoder for what JSON can hold, choosing
the smallest MessagePack format for each value. Run from anywhere: python3 make_msgpack.py
"""
import json
import pathlib
import struct


def encode(value, out):
    if value is None:
        out += b"\xc0"
    elif value is True:
        out += b"\xc3"
    elif value is False:
        out += b"\xc2"
    elif isinstance(value, int):
        if 0 <= value <= 0x7F:
            out += struct.pack(">B", value)
        elif -32 <= value < 0:
            out += struct.pack(">b", value)
        elif value >= 0:
            for limit, code, fmt in ((0xFF, 0xCC, ">B"), (0xFFFF, 0xCD, ">H"),
                                     (0xFFFFFFFF, 0xCE, ">I"), (2**64 - 1, 0xCF, ">Q")):
                if value <= limit:
                    out += bytes([code]) + struct.pack(fmt, value)
                    break
        else:
            for limit, code, fmt in ((-2**7, 0xD0, ">b"), (-2**15, 0xD1, ">h"),
                                     (-2**31, 0xD2, ">i"), (-2**63, 0xD3, ">q")):
                if value >= limit:
                    out += bytes([code]) + struct.pack(fmt, value)
                    break
    elif isinstance(value, float):
        out += b"\xcb" + struct.pack(">d", value)
    elif isinstance(value, str):
        data = value.encode("utf-8")
        n = len(data)
        if n <= 31:
            out += bytes([0xA0 | n])
        elif n <= 0xFF:
            out += b"\xd9" + struct.pack(">B", n)
        elif n <= 0xFFFF:
            out += b"\xda" + struct.pack(">H", n)
        else:
            out += b"\xdb" + struct.pack(">I", n)
        out += data
    elif isinstance(value, list):
        n = len(value)
        if n <= 15:
            out += bytes([0x90 | n])
        elif n <= 0xFFFF:
            out += b"\xdc" + struct.pack(">H", n)
        else:
            out += b"\xdd" + struct.pack(">I", n)
        for item in value:
            encode(item, out)
    elif isinstance(value, dict):
        n = len(value)
        if n <= 15:
            out += bytes([0x80 | n])
        elif n <= 0xFFFF:
            out += b"\xde" + struct.pack(">H", n)
        else:
            out += b"\xdf" + struct.pack(">I", n)
        for key, item in value.items():
            encode(key, out)
            encode(item, out)
    else:
        raise TypeError(f"cannot encode {type(value).__name__}")


here = pathlib.Path(__file__).resolve().parent
document = json.loads((here / "sample.json").read_text(encoding="utf-8"))
data = bytearray()
encode(document, data)
(here / "sample.msgpack").write_bytes(bytes(data))
print(f"wrote {len(data)} bytes to {here / 'sample.msgpack'}")
