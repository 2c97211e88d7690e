"""The serial ports of a Linux system, from sysfs and /dev/serial/by-id."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class PortInfo:
    """One serial port."""

    device: str  #: /dev/ttyUSB0
    description: str  #: "FTDI FT232R USB UART (0403:6001)", or the driver for built-in ports
    by_id: str | None = None  #: the stable /dev/serial/by-id/ link, when there is one
    usb: bool = False  #: a USB adapter

    def as_dict(self) -> dict[str, str | None]:
        return {"device": self.device, "description": self.description, "by_id": self.by_id}


def _read(path: Path) -> str:
    try:
        return path.read_text(errors="replace").strip()
    except OSError:
        return ""


def _subsystem(device: Path) -> str:
    return os.path.basename(os.path.realpath(device / "subsystem"))


def _usb_description(device: Path) -> str | None:
    """Maker, product and vendor:product ids of the USB device above a tty."""
    for folder in [device, *device.parents]:
        if (folder / "idVendor").is_file():
            words = [_read(folder / "manufacturer"), _read(folder / "product")]
            ids = f"({_read(folder / 'idVendor')}:{_read(folder / 'idProduct')})"
            return " ".join(word for word in [*words, ids] if word)
    return None


def _natural_key(name: str) -> tuple[str, int]:
    """ttyS2 before ttyS10."""
    match = re.fullmatch(r"(.*?)(\d*)", name)
    assert match is not None
    return match.group(1), int(match.group(2) or -1)


def list_ports(sys_root: str | os.PathLike[str] = "/sys", dev_root: str | os.PathLike[str] = "/dev") -> list[PortInfo]:
    """Serial ports with a device behind them, USB adapters first, then by name.

    The placeholders the kernel makes for built-in ports that do not exist
    (``ttyS4`` to ``ttyS31`` on most PCs, bound to the platform bus) are left out.
    """
    sys_path, dev_path = Path(sys_root), Path(dev_root)
    links: dict[str, str] = {}
    by_id = dev_path / "serial" / "by-id"
    if by_id.is_dir():
        for link in sorted(by_id.iterdir()):
            if link.is_symlink():
                links.setdefault(os.path.basename(os.readlink(link)), str(link))
    ports = []
    tty_class = sys_path / "class" / "tty"
    for entry in sorted(tty_class.iterdir()) if tty_class.is_dir() else []:
        device = entry / "device"
        if not device.exists():
            continue  # virtual terminals and pseudo-terminals
        hardware = Path(os.path.realpath(device))
        # Newer kernels put a serial-base port and controller between the tty and its hardware.
        while _subsystem(hardware) == "serial-base" and hardware.parent != hardware:
            hardware = hardware.parent
        subsystem = _subsystem(hardware)
        if subsystem == "platform":
            continue
        usb = _usb_description(hardware)
        driver = os.path.basename(os.path.realpath(hardware / "driver")) if (hardware / "driver").exists() else ""
        description = usb or (f"{subsystem} serial port ({driver})" if driver else f"{subsystem} serial port")
        ports.append(PortInfo(str(dev_path / entry.name), description, links.get(entry.name), usb is not None))
    return sorted(ports, key=lambda p: (not p.usb, _natural_key(os.path.basename(p.device))))
