#!/usr/bin/env python3
"""Writes starting inputs for the fuzz targets: one well-formed exchange per
library export (in the script format of library_harness.h), and typical reply
streams for the tool (tool_harness.h). libFuzzer mutates from there."""
import os
import struct
import sys


def record(data: bytes) -> bytes:
    """Bytes that arrive before one read."""
    n = len(data)
    if n < 0x80:
        return bytes([n]) + data
    return bytes([0x80 | (n >> 8), n & 0xFF]) + data


def call(export: int, flags: int = 0, param: bytes = b"\0\0\0\0", *reads: bytes) -> bytes:
    return bytes([export, flags]) + param + b"".join(record(r) for r in reads)


def setting(value: int) -> bytes:
    return struct.pack("<i", value)


def block(limit: float = 200.0) -> bytes:
    b = bytearray(382)
    b[0] = ord("d")
    b[16:20] = struct.pack("<f", limit)
    b[204:212] = b"07/12/26"
    b[213:219] = b"KV210A"
    return bytes(b)


VERSION = b"vKV210:1.10 07/10;"
SERIAL = b"s0424K10123" + b" " * 22


def library_seeds():
    yield "create", call(0, 0, b"KV21", VERSION, block())
    yield "firmware", call(1, 0, b"\0" * 4, VERSION)
    yield "firmware-17", call(1, 0, b"\0" * 4, VERSION[:17])
    yield "serial", call(2, 0, b"\0" * 4, SERIAL)
    yield "battery", call(3, 0, b"\0" * 4, b"b\x03\x00")
    yield "temperature", call(4, 0, b"\0" * 4, b"t\xff\xff")
    yield "total", call(5, 0, b"\0" * 4, b"T" + struct.pack("<f", 25.0))
    yield "axis", call(6, 0, b"\0" * 4, b"A" + struct.pack("<fff", 1.0, 2.0, 3.0))
    yield "frequency", call(7, 0, setting(123), b"k" + struct.pack("<f", 1.23))
    yield "filter", call(8, 0, setting(3), b"f")
    yield "autooff", call(9, 0, setting(10800), b"e")
    yield "split-slow", call(3, 2, b"\0" * 4, b"b", b"\x03\x00", b"b\x03\x00")
    yield "session", (call(0, 0, b"KV21", VERSION, block(5.0)) + call(5, 0, b"\0" * 4, b"T" + struct.pack("<f", 25.0))
                      + call(6, 0, b"\0" * 4, b"A" + struct.pack("<fff", 1.0, 6.0, -1.0))
                      + call(10) + call(12) + call(13))


def tool_seeds():
    # Tool script: see tool_harness.h. A state byte, then operations.
    arrive = lambda data: b"\x01" + record(data)
    wait = lambda ms: b"\x00" + bytes([ms // 4])
    read = b"\x02"
    click = lambda text: b"\x03" + record(text)
    nested = lambda text: b"\x04" + record(text)
    yield "version", b"\x00" + wait(20) + arrive(VERSION) + read
    yield "version-split", b"\x01" + arrive(VERSION[:9]) + wait(40) + arrive(VERSION[9:]) + read
    yield "serial", b"\x10" + arrive(SERIAL) + read
    yield "serial-bad", b"\x1c" + arrive(b"s0424Z20123" + b" " * 22) + read
    yield "block", b"\x30" + arrive(VERSION) + read + arrive(SERIAL) + read + arrive(block()[:200]) + wait(100) + arrive(block()[200:]) + read
    yield "store", b"\x00" + arrive(b"05") + click(b"5")
    yield "store-err", b"\x00" + arrive(b"eERR\r\n") + click(b"12")
    yield "nested", b"\x01" + wait(200) + nested(b"7") + arrive(VERSION) + read
    yield "port-fails", b"\x01" + wait(40) + b"\x05" + arrive(VERSION) + read


def serve_seeds():
    # Request: method, target, version, then headers, one a line (serve_fuzz.cpp).
    request = lambda target, *headers, method=b"GET", version=b"HTTP/1.1": b"\n".join(
        (method, target, version) + headers)
    yield "metrics", request(b"/metrics", b"Host: 127.0.0.1:9210")
    yield "readings", request(b"/api/readings?after=12&since=2026-12-07T00%3A00%3A30.5Z", b"Host: localhost")
    yield "since", request(b"/api/readings?since=1796601650.25", b"Host: [::1]:9210")
    yield "absolute", request(b"http://probes.example:9210/api/probes", b"Host: probes.example")
    yield "asset", request(b"/app.js", b"Host: 10.0.0.1", b"Accept-Encoding: br, gzip;q=0.5", b"Range: bytes=0-5,2-9")
    yield "body", request(b"/", b"Host: x", b"Content-Length: 5", method=b"POST")
    yield "http10", request(b"/chart.js", version=b"HTTP/1.0")


def main():
    out = sys.argv[1]
    for target, seeds in (("library", library_seeds()), ("tool", tool_seeds()), ("serve", serve_seeds())):
        os.makedirs(os.path.join(out, target), exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
