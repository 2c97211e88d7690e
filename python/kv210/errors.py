"""Exceptions for the library's result codes, mapped in one table.

Every non-zero result code of a ``VEL_`` call raises a :class:`Kv210Error`
subclass that carries the code, the call and the code's meaning::

    Kv210Error
    ├── PortError              1, 9, 10, 11, 17, 18  the port failed or cannot be used
    │   ├── PortNotFoundError  2                     no such device
    │   └── PortAccessError    7                     held by someone else, or no permission
    ├── ReplyError             4                     the probe answered with another reply
    │   ├── NotConfirmedError  13                    the probe did not confirm a setting
    │   └── WrongModelError    14                    another model answers
    ├── ProbeTimeoutError      8                     also a TimeoutError
    ├── SettingError           6                     also a ValueError; nothing was sent
    ├── OverRangeError         15                    a field value above the probe's limit
    └── InvalidValueError      16                    a negative or invalid field value
"""

from __future__ import annotations


class Kv210Error(Exception):
    """A ``VEL_`` call returned a non-zero result code.

    Attributes:
        code: the result code (see the library's header).
        call: the library function that returned it, such as ``"VEL_ReadBattery"``.
        name: the code's symbolic name, such as ``"VEL_TIMEOUT"``.
        meaning: the code's meaning in words.
        port: the device the probe was opened on, when known.
    """

    def __init__(self, code: int, call: str, port: str | None = None) -> None:
        self.code = code
        self.call = call
        self.port = port
        self.name, self.meaning = describe(code)
        where = f" on {port}" if port else ""
        super().__init__(f"{call} returned {code} ({self.name}: {self.meaning}){where}")


class PortError(Kv210Error):
    """The serial port cannot be opened or set up, or it failed (device gone)."""


class PortNotFoundError(PortError):
    """The port device does not exist (code 2)."""


class PortAccessError(PortError):
    """Another program holds the port, or the user may not open it (code 7)."""


class ReplyError(Kv210Error):
    """The probe's reply was not the one the command expects (code 4)."""


class NotConfirmedError(ReplyError):
    """The probe did not confirm a setting (code 13)."""


class WrongModelError(ReplyError):
    """The probe's model differs from the expected one (code 14)."""


class ProbeTimeoutError(Kv210Error, TimeoutError):
    """No complete reply came within the reply time-out (code 8)."""


class SettingError(Kv210Error, ValueError):
    """A setting value is out of range; nothing was sent (code 6)."""


class OverRangeError(Kv210Error):
    """A field value lies above the probe's field limit (code 15)."""


class InvalidValueError(Kv210Error):
    """The probe reported a negative or invalid field value (code 16)."""


# code: (exception class, symbolic name, meaning) - the meanings of the library's header.
_CODES: dict[int, tuple[type[Kv210Error], str, str]] = {
    1: (PortError, "VEL_INVALID_HANDLE", "no open port, or the port could not be opened"),
    2: (PortNotFoundError, "VEL_PORT_NOT_FOUND", "the port device does not exist"),
    3: (Kv210Error, "VEL_NULL_ARGUMENT", "a pointer argument was NULL"),
    4: (ReplyError, "VEL_WRONG_REPLY", "the reply did not start with the command's letter"),
    6: (SettingError, "VEL_OUT_OF_RANGE", "the setting value is out of range"),
    7: (PortAccessError, "VEL_ACCESS_DENIED", "the port is held by someone else, or permission denied"),
    8: (ProbeTimeoutError, "VEL_TIMEOUT", "no complete reply came within the reply time-out"),
    9: (PortError, "VEL_PORT_SETUP", "setting up the serial line failed"),
    10: (PortError, "VEL_WRITE_FAILED", "writing the command failed"),
    11: (PortError, "VEL_READ_FAILED", "reading from the port failed"),
    13: (NotConfirmedError, "VEL_NOT_CONFIRMED", "the probe did not confirm the setting"),
    14: (WrongModelError, "VEL_WRONG_MODEL", "the probe's model differs from the expected one"),
    15: (OverRangeError, "VEL_ABOVE_LIMIT", "a field value lies above the probe's field limit"),
    16: (InvalidValueError, "VEL_INVALID_VALUE", "the probe reported a negative or invalid field value"),
    17: (PortError, "VEL_CLOSE_FAILED", "closing the port failed"),
    18: (PortError, "VEL_PURGE_FAILED", "purging the port failed"),
}


def describe(code: int) -> tuple[str, str]:
    """The symbolic name and the meaning of a result code."""
    entry = _CODES.get(code)
    return (entry[1], entry[2]) if entry else ("unknown", "a result code this package does not know")


def error_for(code: int, call: str, port: str | None = None) -> Kv210Error:
    """The exception for a non-zero result code of ``call``."""
    entry = _CODES.get(code)
    kind: type[Kv210Error] = entry[0] if entry else Kv210Error
    return kind(code, call, port)
