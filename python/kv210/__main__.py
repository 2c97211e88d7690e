"""python -m kv210 ports|info|read: a look at a probe from the shell.

Prints what ``velprobe`` prints for the same commands; velprobe is the full client.
Who holds a port, and which probe answers where, are velprobe's to tell (the
library's exports do not say), so ``ports`` and ``--port auto`` ask velprobe
when it is installed. Exit status: 0 success, 1 the probe failed, 2 usage
error, 3 the port cannot be opened, 130 interrupted.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import shutil
import subprocess
import sys
from typing import Sequence

from . import LibraryNotFoundError, Kv210Error, PortError, Probe
from .ports import list_ports
from .values import Reading, json_texts

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


def _velprobe() -> str | None:
    return os.environ.get("KV210_VELPROBE") or shutil.which("velprobe")


def _velprobe_options(options: argparse.Namespace) -> list[str]:
    return ["--model", options.model, "--timeout", str(options.timeout)]


def _ports(options: argparse.Namespace) -> str:
    velprobe = _velprobe()
    if velprobe:  # velprobe's own list: the same columns, holders and states
        command = [velprobe, *_velprobe_options(options), *(["--json"] if options.json else []), "ports"]
        sys.stdout.flush()
        raise SystemExit(subprocess.run(command + (["--probe"] if options.probe else [])).returncode)
    print("kv210: velprobe is not installed, so the list shows neither who holds a port nor a probe on it",
          file=sys.stderr)
    ports = list_ports()
    if options.json:
        return json.dumps([p.as_dict() for p in ports])
    if not ports:
        print("No serial ports found.", file=sys.stderr)
        return ""
    device_width = max(len(p.device) for p in ports) + 2
    description_width = max(len(p.description) for p in ports) + 2
    return "\n".join((p.device.ljust(device_width) + p.description.ljust(description_width) + (p.by_id or "")).rstrip()
                     for p in ports)


def _auto_port(options: argparse.Namespace) -> str:
    """The one port where a probe of the model answers, as velprobe finds it."""
    velprobe = _velprobe()
    if not velprobe:
        print("kv210: --port auto asks velprobe, which is not installed: give the device", file=sys.stderr)
        raise SystemExit(EXIT_PORT)
    found = subprocess.run([velprobe, *_velprobe_options(options), "--json", "ports", "--probe"],
                           stdout=subprocess.PIPE, text=True)
    if found.returncode != 0:
        raise SystemExit(found.returncode)
    ports = json.loads(found.stdout)
    answering = [p["device"] for p in ports if (p.get("probe") or {}).get("model_accepted")]
    if len(answering) == 1:
        print(f"kv210: the probe answers on {answering[0]}", file=sys.stderr)
        return str(answering[0])
    seen = "".join(f"\n  {p['device']}" for p in ports) or "\n  (no serial ports found)"
    print(f"kv210: --port auto: no {options.model[:4]} probe answers on any port{seen}" if not answering else
          f"kv210: --port auto: {len(answering)} probes answer; choose one with --port{seen}", file=sys.stderr)
    raise SystemExit(EXIT_PORT)


def _probe_command(options: argparse.Namespace) -> str:
    if options.port == "auto":
        options.port = _auto_port(options)
    try:
        probe = Probe(options.port, options.model, options.timeout / 1000)
    except PortError as error:
        print(f"kv210: cannot open port {options.port}\n  {error}", file=sys.stderr)
        raise SystemExit(EXIT_PORT) from None
    with probe:
        if options.command == "info":
            identity = probe.identity()
            # velprobe's labels and keys. Its first line, the model from the probe's version
            # reply, no export returns; the data block's model text is the probe name again.
            texts = {"firmware": identity.firmware, "serial_number": identity.serial_number,
                     "name": identity.name, "calibration_date": identity.calibration_date}
            if options.json:
                return json_texts(texts)
            labels = ["Firmware", "Serial number", "Probe name", "Calibration date"]
            return _lines([(label, _escaped(value.rstrip("\0")), "") for label, value in zip(labels, texts.values())])
        reading = probe.read()
        return reading.to_json() if options.json else _reading_text(reading)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kv210", description="List serial ports, or show a KV210 probe's identity or readings.",
        epilog="Exit status: 0 success, 1 the probe failed, 2 usage error, 3 the port cannot be opened.")
    parser.add_argument("command", choices=["ports", "info", "read"],
                        help="ports: the serial ports; info: the probe's identity; read: one set of readings")
    parser.add_argument("-p", "--port", help="the probe's device, such as /dev/ttyUSB0, or auto: the one port "
                        "where a probe answers (asks velprobe)")
    parser.add_argument("-m", "--model", default="KV21", help="the probe's model; its first 4 characters are compared (default KV21)")
    parser.add_argument("-t", "--timeout", type=int, default=500, metavar="MS",
                        help="reply time-out in milliseconds (default 500)")
    parser.add_argument("--json", action="store_true", help="one JSON object (a list for ports)")
    parser.add_argument("--probe", action="store_true", help="ports: ask each free port for a probe (sends to it)")
    options = parser.parse_args(argv)
    try:
        if options.command == "ports":
            output = _ports(options)
        else:
            if not options.port:
                parser.error("no port given: use --port DEVICE, such as --port /dev/ttyUSB0, or --port auto")
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
