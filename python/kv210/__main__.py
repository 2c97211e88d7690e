"""python -m kv210 ports|info|read: a look at a probe from the shell.

Prints what ``velprobe`` prints for the same commands; velprobe is the full client.
Exit status: 0 success, 1 the probe failed, 2 usage error, 3 the port cannot be
opened, 130 interrupted.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import sys
from typing import Sequence

from . import LibraryNotFoundError, Kv210Error, PortError, Probe
from .ports import list_ports
from .values import Reading

EXIT_DEVICE, EXIT_PORT, EXIT_INTERRUPTED = 1, 3, 130


def _escaped(text: str) -> str:
    """Printable ASCII as it stands, a backslash doubled, any other byte as \\xNN."""
    return "".join(c if " " <= c <= "~" and c != "\\" else "\\\\" if c == "\\" else f"\\x{ord(c):02x}"
                   for c in text)


def _lines(rows: list[tuple[str, str, str]]) -> str:
    """``label  value unit`` lines; numbers (values with digits only) line up at their decimal points."""
    width = max(len(label) for label, _, _ in rows) + 2
    numbers = [value.partition(".") for _, value, _ in rows if value.replace(".", "").lstrip("-").isdigit()]
    whole = max((len(n[0]) for n in numbers), default=0)
    fraction = max((len(n[1] + n[2]) for n in numbers), default=0)
    out = []
    for label, value, unit in rows:
        if value.replace(".", "").lstrip("-").isdigit():
            head, point, tail = value.partition(".")
            value = head.rjust(whole) + (point + tail).ljust(fraction)
            out.append((label.ljust(width) + value + (" " + unit if unit else "")).rstrip())
        else:
            out.append(label.ljust(width) + value + (" " + unit if unit else ""))
    return "\n".join(out)


def _fixed(value: float, decimals: int) -> str:
    return f"{ctypes.c_float(value).value:.{decimals}f}"


def _reading_text(r: Reading) -> str:
    local = r.time.astimezone()
    return _lines([
        ("Time", local.strftime("%Y-%m-%d %H:%M:%S.") + f"{local.microsecond // 1000:03d}", ""),
        ("Battery", _fixed(r.battery, 2), "V"),
        ("Temperature", _fixed(r.temperature, 2), "°C"),
        ("Total field", _fixed(r.total_field, 3), ""),
        ("Axis 1", _fixed(r.axis1, 3), ""),
        ("Axis 2", _fixed(r.axis2, 3), ""),
        ("Axis 3", _fixed(r.axis3, 3), ""),
    ])


def _ports(as_json: bool) -> str:
    ports = list_ports()
    if as_json:
        return json.dumps([p.as_dict() for p in ports])
    if not ports:
        print("No serial ports found.", file=sys.stderr)
        return ""
    device_width = max(len(p.device) for p in ports) + 2
    description_width = max(len(p.description) for p in ports) + 2
    return "\n".join((p.device.ljust(device_width) + p.description.ljust(description_width) + (p.by_id or "")).rstrip()
                     for p in ports)


def _probe_command(options: argparse.Namespace) -> str:
    try:
        probe = Probe(options.port, options.model, options.timeout / 1000)
    except PortError as error:
        print(f"kv210: cannot open port {options.port}\n  {error}", file=sys.stderr)
        raise SystemExit(EXIT_PORT) from None
    with probe:
        if options.command == "info":
            identity = probe.identity()
            if options.json:
                return identity.to_json()
            # As velprobe labels them, without the NULs that pad a text at its end. The
            # model here is the data block's; velprobe's comes from the version reply.
            labels = ["Firmware", "Serial number", "Probe name", "Model (data block)", "Calibration date"]
            values = identity.as_dict().values()
            return _lines([(label, _escaped(value.rstrip("\0")), "") for label, value in zip(labels, values)])
        reading = probe.read()
        return reading.to_json() if options.json else _reading_text(reading)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kv210", description="List serial ports, or show a KV210 probe's identity or readings.",
        epilog="Exit status: 0 success, 1 the probe failed, 2 usage error, 3 the port cannot be opened.")
    parser.add_argument("command", choices=["ports", "info", "read"],
                        help="ports: the serial ports; info: the probe's identity; read: one set of readings")
    parser.add_argument("-p", "--port", help="the probe's device, such as /dev/ttyUSB0")
    parser.add_argument("-m", "--model", default="KV21", help="first 4 characters of the model name (default KV21)")
    parser.add_argument("-t", "--timeout", type=int, default=500, metavar="MS",
                        help="reply time-out in milliseconds (default 500)")
    parser.add_argument("--json", action="store_true", help="one JSON object (a list for ports)")
    options = parser.parse_args(argv)
    try:
        if options.command == "ports":
            output = _ports(options.json)
        else:
            if not options.port:
                parser.error("no port given: use --port DEVICE, such as --port /dev/ttyUSB0")
            if not 1 <= options.timeout <= 3_600_000:
                parser.error("--timeout takes milliseconds from 1 to 3600000")
            output = _probe_command(options)
    except (Kv210Error, LibraryNotFoundError) as error:
        print(f"kv210: {error}", file=sys.stderr)
        return EXIT_DEVICE
    except ValueError as error:  # an argument the probe class refuses, such as the model
        parser.error(str(error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    if output:
        print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
