"""KV210 field probes from Python, over the VEL_KV21X library (ctypes, no compiled code).

    import kv210

    with kv210.Probe("/dev/ttyUSB0") as probe:
        print(probe.serial_number, probe.battery(), probe.axes())

The library is looked for in ``KV210_LIBRARY``, then next to this package, then
by the system's loader. ``kv210.testing`` is a pytest plugin with a simulated
probe (``kv210_sim``); ``python -m kv210`` lists ports and shows a probe.
"""

from ._native import LibraryNotFoundError, find_library
from .errors import (
    InvalidValueError,
    Kv210Error,
    NotConfirmedError,
    OverRangeError,
    PortAccessError,
    PortError,
    PortNotFoundError,
    ProbeTimeoutError,
    ReplyError,
    SettingError,
    WrongModelError,
)
from .ports import PortInfo, list_ports
from .probe import Probe, frequency_hundredths
from .values import Axes, Identity, Reading

__version__ = "1.0.0"

__all__ = [
    "Axes", "Identity", "InvalidValueError", "Kv210Error", "LibraryNotFoundError", "NotConfirmedError",
    "OverRangeError", "PortAccessError", "PortError", "PortInfo", "PortNotFoundError", "Probe",
    "ProbeTimeoutError", "Reading", "ReplyError", "SettingError", "WrongModelError", "find_library",
    "frequency_hundredths", "list_ports",
]
