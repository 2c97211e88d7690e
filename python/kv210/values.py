"""What a probe reports: its identity, one set of readings, the three axis values."""

from __future__ import annotations

import ctypes
import dataclasses
import json
import math
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import NamedTuple


def shortest(single: float) -> float:
    """The shortest decimal that reads back as the same single-precision value.

    The library hands over single-precision numbers; widened as they stand,
    3.6 would show as 3.5999999046325684. The decimal it was rounded from
    carries the same value and is what the probe meant.
    """
    if not math.isfinite(single):
        return single
    for digits in range(1, 10):
        candidate = float(f"{single:.{digits}g}")
        if ctypes.c_float(candidate).value == single:
            return candidate
    return single


def json_number(value: float) -> str:
    """A single-precision value as velprobe writes it in JSON: the shortest text
    that reads back as it, plain or with an exponent, whichever is shorter, the
    plain one on a tie (5, 3.6, 0.001, 1e-04, 1e+10, 123456792)."""
    single = ctypes.c_float(value).value
    if not math.isfinite(single):
        return "null"
    for precision in range(9):
        scientific = f"{single:.{precision}e}"
        if ctypes.c_float(float(scientific)).value == single:
            break
    mantissa, exponent_text = scientific.split("e")
    sign = "-" if mantissa.startswith("-") else ""
    digits = mantissa.lstrip("-").replace(".", "")
    exponent = int(exponent_text)
    if exponent >= len(digits) - 1:
        plain = str(abs(int(single)))  # every plain form is as long: the exact one is the closest
    elif exponent >= 0:
        plain = digits[: exponent + 1] + "." + digits[exponent + 1 :]
    else:
        plain = "0." + "0" * (-exponent - 1) + digits
    return sign + min(plain, scientific.lstrip("-"), key=len)


def json_text(text: str) -> str:
    """A probe's text as a JSON string, every byte outside printable ASCII escaped."""
    return json.dumps(text).replace("\x7f", "\\u007f")


def json_texts(fields: dict[str, str]) -> str:
    """Texts as one JSON object on one line, as ``velprobe info --json`` prints them."""
    return "{" + ",".join(f'"{key}":{json_text(value)}' for key, value in fields.items()) + "}"


class Axes(NamedTuple):
    """The three axis values, in the order the probe sends them."""

    axis1: float
    axis2: float
    axis3: float


@dataclass(frozen=True)
class Identity:
    """A probe's identity texts, Latin-1, padded as the probe sends them."""

    firmware: str
    serial_number: str
    name: str
    model: str
    calibration_date: str

    def stripped(self) -> Identity:
        """The same texts without the spaces and NUL bytes that pad them."""
        return Identity(*(value.strip(" \0") for value in dataclasses.astuple(self)))

    def as_dict(self) -> dict[str, str]:
        """The fields under the keys of ``velprobe info --json``."""
        return dataclasses.asdict(self)

    def to_json(self) -> str:
        """One line as ``velprobe info --json`` prints it."""
        return json_texts(self.as_dict())


@dataclass(frozen=True)
class Reading:
    """One set of readings, timed when the first query went out."""

    time: datetime  #: UTC
    battery: float  #: volts
    temperature: float  #: degrees Celsius
    total_field: float
    axis1: float
    axis2: float
    axis3: float

    @property
    def axes(self) -> Axes:
        return Axes(self.axis1, self.axis2, self.axis3)

    def timestamp(self) -> str:
        """ISO 8601 UTC with milliseconds: 2026-12-07T00:28:13.857Z."""
        utc = self.time.astimezone(timezone.utc)
        return utc.isoformat(timespec="milliseconds").replace("+00:00", "Z")

    def as_dict(self) -> dict[str, str | float]:
        """The values under the keys of ``velprobe read --json``."""
        return {
            "time": self.timestamp(),
            "battery_V": self.battery,
            "temperature_C": self.temperature,
            "total_field": self.total_field,
            "axis1": self.axis1,
            "axis2": self.axis2,
            "axis3": self.axis3,
        }

    def to_json(self) -> str:
        """One line as ``velprobe read --json`` prints it."""
        fields = [f"{json_text(key)}:{json_number(value) if isinstance(value, float) else json_text(value)}"
                  for key, value in self.as_dict().items()]
        return "{" + ",".join(fields) + "}"
