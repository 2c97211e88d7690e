"""A KV210 probe on a serial port, driven through the VEL_KV21X library."""

from __future__ import annotations

import ctypes
import operator
import os
import re
from datetime import datetime, timezone
from decimal import Decimal, InvalidOperation
from typing import Any, Union

from . import _native
from .errors import error_for
from .values import Axes, Identity, Reading, shortest

Frequency = Union[Decimal, str, float, int]

_MAX_FREQUENCY_HUNDREDTHS = 9_999_999  # the most the command frame carries
_INT32 = range(-(2**31), 2**31)


def _decimal_shaped(text: str) -> bool:
    """ASCII digits with at most one decimal point, and at least one digit."""
    return re.fullmatch(r"[0-9]*\.?[0-9]*", text) is not None and re.search(r"[0-9]", text) is not None


def frequency_hundredths(value: Frequency) -> int:
    """A frequency in hundredths, exactly as velprobe takes it from its decimal text.

    Text is read digit by digit and a float by its shortest decimal form, so
    0.29 gives 29 (a binary detour, 0.29 * 100, would give 28.999...).
    Raises ValueError for a negative value, more than two decimals, or more
    than 99999.99, and TypeError for anything but a number or its text.
    """
    if isinstance(value, str):
        if value.startswith("-") and _decimal_shaped(value[1:]):
            raise ValueError(f"the frequency cannot be negative, not {value!r}")
        if not _decimal_shaped(value):
            raise ValueError(f"expected a decimal number such as 1.23, not {value!r}")
        if "." in value and len(value.split(".")[1]) > 2:
            raise ValueError(f"the probe takes at most 2 decimals (hundredths), not {value!r}")
        number = Decimal(value)
    elif isinstance(value, bool) or not isinstance(value, (Decimal, float, int)):
        raise TypeError(f"a frequency is a Decimal, str, float or int, not {type(value).__name__}")
    else:
        try:
            number = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
        except InvalidOperation:
            raise ValueError(f"expected a decimal number such as 1.23, not {value!r}") from None
    if not number.is_finite():
        raise ValueError(f"expected a decimal number such as 1.23, not {value!r}")
    if number < 0:
        raise ValueError(f"the frequency cannot be negative, not {value!r}")
    hundredths = number * 100
    if hundredths != hundredths.to_integral_value():
        raise ValueError(f"the probe takes at most 2 decimals (hundredths), not {value!r}")
    if hundredths > _MAX_FREQUENCY_HUNDREDTHS:
        raise ValueError(f"the frequency must lie from 0 to 99999.99, not {value!r}")
    return int(hundredths)


def _whole_setting(value: int, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} is a whole number, not a bool")
    number = operator.index(value)  # TypeError for 2.5 or "3"
    # Beyond 32 bits it is as far out of range as 8 is for the filter: the
    # library refuses it with the same SettingError, sending nothing.
    return min(max(number, _INT32.start), _INT32.stop - 1)


class Probe:
    """A KV210 probe on a serial port, open from construction until :meth:`close`.

    ``port`` is the device (``/dev/ttyUSB0``, a ``/dev/serial/by-id/`` link,
    ``COM3``); ``model`` the model name the probe must report (its first four
    characters are compared); ``timeout`` the reply time-out in seconds. Use it as a context
    manager to close the port however the block ends::

        with kv210.Probe("/dev/ttyUSB0") as probe:
            print(probe.serial_number, probe.battery())

    Every failure raises a :class:`kv210.Kv210Error` subclass. Calls are
    serialised process-wide (the library requires it), so a probe may be used
    from several threads. The library's time-out and data block are shared by
    the whole process; this class sets the time-out before each call and keeps
    the data-block texts (name, model, calibration date) of its own probe.
    """

    def __init__(self, port: str | bytes | os.PathLike[str] | os.PathLike[bytes], model: str = "KV21", timeout: float = 0.5) -> None:
        self.port = os.fsdecode(port)  # bytes as the file system names them; TypeError for the rest
        self.timeout = timeout
        self._handle: int | None = None
        if "\0" in self.port:  # C would open the name up to it: another device
            raise ValueError(f"embedded NUL in the port name {self.port!r}")
        if len(model) < 4 or not all(" " < c <= "~" for c in model):
            # The library compares the first four characters: a shorter text never matches.
            raise ValueError(f"model takes the model name or its first 4 characters (such as KV210 or KV21), "
                             f"not {model!r}")
        library = _native.library()
        handle = _native.HANDLE()
        with _native.LOCK:
            library.VEL_SetTimeout(self._timeout_ms)
            code = library.VEL_CreateProbe(model.encode("ascii"), ctypes.byref(handle), os.fsencode(self.port))
            value = handle.value or 0  # descriptor 0 reads back as a NULL pointer
            if code != 0:
                if value != _native.INVALID_HANDLE:  # a failed opening leaves the port open
                    library.VEL_RemoveProbe(handle)
                raise error_for(code, "VEL_CreateProbe", self.port)
            self._handle = value
            # The library's copy of the data block belongs to the probe opened last.
            self._name = self._text("VEL_ProbeName")
            self._model = self._text("VEL_Model")
            self._calibration_date = self._text("VEL_CalibrationDate")

    @property
    def timeout(self) -> float:
        """Reply time-out in seconds (the library counts whole elapsed seconds)."""
        return self._timeout_ms / 1000

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        try:
            milliseconds = round(seconds * 1000)
        except (OverflowError, ValueError):  # infinity, NaN
            milliseconds = 0
        if not 1 <= milliseconds <= 3_600_000:
            raise ValueError(f"timeout takes seconds from 0.001 to 3600, not {seconds!r}")
        self._timeout_ms = milliseconds

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Closes the port; closing a closed probe does nothing."""
        with _native.LOCK:
            handle, self._handle = self._handle, None
            code = _native.library().VEL_RemoveProbe(handle) if handle is not None else 0
        if code:
            raise error_for(code, "VEL_RemoveProbe", self.port)

    def __enter__(self) -> Probe:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:  # nothing to report to at collection time
                pass

    def __repr__(self) -> str:
        return f"<kv210.Probe {self.port!r} {'closed' if self.closed else 'open'}>"

    def _call(self, function: str, *args: Any) -> None:
        with _native.LOCK:
            handle = self._handle
            if handle is None:
                raise ValueError(f"the probe on {self.port} is closed")
            library = _native.library()
            library.VEL_SetTimeout(self._timeout_ms)
            code = getattr(library, function)(handle, *args)
        if code:
            raise error_for(code, function, self.port)

    def _text(self, function: str) -> str:
        buffer = ctypes.create_string_buffer(16)  # the longest text is 11 characters
        length = ctypes.c_int32()
        self._call(function, buffer, ctypes.byref(length))
        if not 0 <= length.value <= len(buffer):
            raise RuntimeError(f"{function} reported an impossible length {length.value}")
        return buffer.raw[: length.value].decode("latin-1")

    def _floats(self, function: str, count: int) -> list[float]:
        values = [ctypes.c_float() for _ in range(count)]
        self._call(function, *(ctypes.byref(v) for v in values))
        return [shortest(v.value) for v in values]

    # ---- identity

    @property
    def firmware(self) -> str:
        """Firmware release and date, asked of the probe: ``"1.10 07/10"`` (10 or 11 characters)."""
        return self._text("VEL_Firmware")

    @property
    def serial_number(self) -> str:
        """Serial number, asked of the probe: 10 characters."""
        return self._text("VEL_SerialNumber")

    @property
    def name(self) -> str:
        """Probe name from the data block read at opening: 6 characters."""
        return self._name

    @property
    def model(self) -> str:
        """Model from the data block read at opening: 6 characters (the same bytes as the name)."""
        return self._model

    @property
    def calibration_date(self) -> str:
        """Calibration date from the data block read at opening: 8 characters."""
        return self._calibration_date

    def identity(self) -> Identity:
        """All five identity texts; ``.stripped()`` drops their padding."""
        with _native.LOCK:
            return Identity(self.firmware, self.serial_number, self.name, self.model, self.calibration_date)

    # ---- measurements

    def battery(self) -> float:
        """Battery voltage in volts."""
        return self._floats("VEL_ReadBattery", 1)[0]

    def temperature(self) -> float:
        """Probe temperature in degrees Celsius."""
        return self._floats("VEL_ReadTemperature", 1)[0]

    def total_field(self) -> float:
        """Total field. OverRangeError above the probe's limit, InvalidValueError when invalid."""
        return self._floats("VEL_ReadTotalField", 1)[0]

    def axes(self) -> Axes:
        """The three axis values; errors as for :meth:`total_field`."""
        return Axes(*self._floats("VEL_ReadAxisField", 3))

    def read(self) -> Reading:
        """Battery, temperature, total field and axes in one go, with the time they were taken."""
        with _native.LOCK:
            time = datetime.now(timezone.utc)
            return Reading(time, self.battery(), self.temperature(), self.total_field(), *self.axes())

    # ---- settings

    def set_frequency(self, value: Frequency) -> int:
        """Sets the measuring frequency, given as ``Decimal("1.23")``, ``"1.23"``, 1.23 or 1.

        It goes out in hundredths exactly as the decimal text reads (0.29 sends
        29); the probe must echo it back. Returns the hundredths sent.
        """
        hundredths = frequency_hundredths(value)
        self._call("VEL_SetFrequency", hundredths)
        return hundredths

    def set_filter(self, filter: int) -> None:
        """Sets the filter, 0 to 7 (SettingError otherwise, with nothing sent)."""
        self._call("VEL_SetFilter", _whole_setting(filter, "filter"))

    def set_auto_off(self, seconds: int) -> None:
        """Sets the automatic switch-off time, 0 to 10800 seconds (SettingError otherwise)."""
        self._call("VEL_SetAutoOffTime", _whole_setting(seconds, "switch-off time"))
