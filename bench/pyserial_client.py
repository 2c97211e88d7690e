#!/usr/bin/env python3
"""A straightforward KV210 client on pyserial, the yardstick for the library's
benchmark: the same exchanges with the same read rules, written plainly.

A read of n bytes ends when n bytes have come, 50 ms after the last byte once
one has come, or 50*n + 50 ms after it began; a command reads again while fewer
whole seconds than the reply time-out have passed. The port is purged before
every command.

Usage: pyserial_client.py DEVICE EXCHANGE CALLS
Prints one line of JSON: {"seconds": wall, "cpu": process CPU seconds, "failures": n}.
"""
import json
import select
import struct
import sys
import time

import serial

REPLY_TIMEOUT = 0.5
INTERVAL = 0.050


def read_reply(port, capacity):
    """One read with the comm port's interval and total time-outs."""
    buf = bytearray()
    started = time.monotonic()
    end = started + (50 * capacity + 50) / 1000.0
    last = None
    while len(buf) < capacity:
        now = time.monotonic()
        deadline = end if last is None else min(end, last + INTERVAL)
        if now >= deadline:
            break
        ready, _, _ = select.select([port.fileno()], [], [], deadline - now)
        if not ready:
            break
        chunk = port.read(capacity - len(buf))
        if not chunk:
            raise serial.SerialException("device went away")
        buf += chunk
        last = time.monotonic()
    return bytes(buf)


def transaction(port, frame, capacity, enough, letter):
    """Purge, write the frame, read until enough bytes came in one read or the
    whole-second time-out ran out. Returns the reply, or None."""
    port.reset_input_buffer()
    port.reset_output_buffer()
    port.write(frame)
    start = int(time.monotonic())
    while True:
        reply = read_reply(port, capacity)
        if len(reply) >= enough:
            break
        if not (int(time.monotonic()) - start < REPLY_TIMEOUT):
            return None
    if reply[0:1] != letter:
        return None
    return reply


def open_port(device):
    port = serial.Serial(device, 9600, bytesize=8, parity="N", stopbits=1, timeout=0, exclusive=True)
    return port


def f32(b):
    return struct.unpack("<f", b)[0]


def setting_frame(prefix, value, size):
    return (prefix + str(value) + "*").encode().ljust(size, b"\0")


def create(device):
    port = open_port(device)
    try:
        reply = transaction(port, b"#00?v*", 18, 17, b"v")
        if reply is None or reply[1:5] != b"KV21":
            return False
        port.reset_input_buffer()
        port.reset_output_buffer()
        port.write(b"#00?P*")
        start = int(time.monotonic())
        while True:
            block = read_reply(port, 382)
            if len(block) >= 256:
                return True
            if not (int(time.monotonic()) - start < REPLY_TIMEOUT):
                return False
    finally:
        port.close()


def firmware(port):
    r = transaction(port, b"#00?v*", 18, 17, b"v")
    if r is None:
        return False
    s = r.split(b"\0")[0]
    c, e = s.find(b":"), s.find(b";")
    n = 10 if c >= 0 and e >= 0 and e - c - 1 == 10 else 11
    return len(r[7:7 + n].ljust(n, b"\0")) == n


def serial_number(port):
    r = transaction(port, b"#00?s*", 11, 11, b"s")
    if r is not None:
        read_reply(port, 22)  # the rest of the usual 33-byte reply, so the next command gets its own
    return r is not None and len(r[1:11]) == 10


def battery(port):
    r = transaction(port, b"#00?b*", 3, 3, b"b")
    return r is not None and (r[1] * 256 + r[2]) * 0.0009765625 * 1.6 * 3.0 >= 0


def temperature(port):
    r = transaction(port, b"#00?t*", 3, 3, b"t")
    if r is None:
        return False
    raw = struct.unpack(">h", r[1:3])[0]
    return (raw * 0.0009765625 * 1.6 - 0.986) * 281.690155029296875 > -1000


def total_field(port, limit=200.0):
    r = transaction(port, b"#00?T*", 5, 5, b"T")
    if r is None:
        return False
    v = f32(r[1:5])
    return v >= 0 and v ** 0.5 <= limit


def axis_field(port, limit=200.0):
    r = transaction(port, b"#00?A*", 13, 13, b"A")
    if r is None:
        return False
    values = struct.unpack("<fff", r[1:13])
    return all(0 <= v <= limit for v in values)


def frequency(port, setting=5000):
    r = transaction(port, setting_frame("#00k ", setting, 13), 5, 5, b"k")
    return r is not None and int(f32(r[1:5]) * 100.0) == setting


def filter_(port, setting=3):
    return transaction(port, setting_frame("#00f", setting, 6), 2, 1, b"f") is not None


def auto_off(port, setting=600):
    return transaction(port, setting_frame("#00e ", setting, 11), 5, 1, b"e") is not None


EXCHANGES = {
    "firmware": firmware,
    "serial": serial_number,
    "battery": battery,
    "temperature": temperature,
    "total": total_field,
    "axis": axis_field,
    "frequency": frequency,
    "filter": filter_,
    "autooff": auto_off,
}


def main():
    device, exchange, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
    failures = 0
    if exchange == "create":
        t0, c0 = time.monotonic(), time.process_time()
        for _ in range(calls):
            failures += not create(device)
        seconds, cpu = time.monotonic() - t0, time.process_time() - c0
    else:
        port = open_port(device)
        call = EXCHANGES[exchange]
        call(port)  # the first exchange settles the line
        t0, c0 = time.monotonic(), time.process_time()
        for _ in range(calls):
            failures += not call(port)
        seconds, cpu = time.monotonic() - t0, time.process_time() - c0
        port.close()
    print(json.dumps({"seconds": seconds, "cpu": cpu, "failures": failures}))


if __name__ == "__main__":
    main()
