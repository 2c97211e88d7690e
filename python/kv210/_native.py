"""Finding and loading the VEL_KV21X library, and the prototypes of its functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Mapping

HANDLE = ctypes.c_void_p
# INVALID_HANDLE_VALUE: all bits set, as the pointer-sized value ctypes hands back.
INVALID_HANDLE: int = ctypes.c_void_p(-1).value or 0

# The library keeps its reply time-out and the probe data block for the whole
# process and wants its callers serialised: every call into it holds this lock.
LOCK = threading.RLock()

_PACKAGE_DIR = Path(__file__).parent

if sys.platform == "win32":
    _FILE_NAMES = ("VEL_KV21X.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("libVEL_KV21X.1.dylib", "libVEL_KV21X.dylib")
else:
    _FILE_NAMES = ("libVEL_KV21X.so.1", "libVEL_KV21X.so")

_c_float_p = ctypes.POINTER(ctypes.c_float)
_c_int32_p = ctypes.POINTER(ctypes.c_int32)
_PROTOTYPES = {
    "VEL_CreateProbe": (ctypes.c_char_p, ctypes.POINTER(HANDLE), ctypes.c_char_p),
    "VEL_RemoveProbe": (HANDLE,),
    "VEL_SetTimeout": (ctypes.c_int32,),
    "VEL_Firmware": (HANDLE, ctypes.c_char_p, _c_int32_p),
    "VEL_SerialNumber": (HANDLE, ctypes.c_char_p, _c_int32_p),
    "VEL_ProbeName": (HANDLE, ctypes.c_char_p, _c_int32_p),
    "VEL_Model": (HANDLE, ctypes.c_char_p, _c_int32_p),
    "VEL_CalibrationDate": (HANDLE, ctypes.c_char_p, _c_int32_p),
    "VEL_ReadBattery": (HANDLE, _c_float_p),
    "VEL_ReadTemperature": (HANDLE, _c_float_p),
    "VEL_ReadTotalField": (HANDLE, _c_float_p),
    "VEL_ReadAxisField": (HANDLE, _c_float_p, _c_float_p, _c_float_p),
    "VEL_SetFrequency": (HANDLE, ctypes.c_int32),
    "VEL_SetFilter": (HANDLE, ctypes.c_int32),
    "VEL_SetAutoOffTime": (HANDLE, ctypes.c_int32),
}

_loaded: ctypes.CDLL | None = None


class LibraryNotFoundError(OSError):
    """The VEL_KV21X library could not be found or loaded; the message says where it looked."""


def find_library(environ: Mapping[str, str] = os.environ, package_dir: Path = _PACKAGE_DIR) -> str:
    """Where the library is, in the order a Python user expects.

    1. ``KV210_LIBRARY``: the library file, or a directory that holds it.
    2. Next to the package: inside it (a copy shipped with an installed
       package) or beside it (a built tree, whose ``python/`` folder holds the
       package and the library).
    3. The system's loader (``ctypes.util.find_library``): an installed library.

    Raises LibraryNotFoundError, naming every place it looked.
    """
    looked = []
    explicit = environ.get("KV210_LIBRARY")
    if explicit:
        path = Path(explicit)
        for candidate in [path / name for name in _FILE_NAMES] if path.is_dir() else [path]:
            if candidate.is_file():
                return str(candidate)
        # Set on purpose: falling back to another copy would hide the mistake.
        raise LibraryNotFoundError(f"KV210_LIBRARY={explicit}: no VEL_KV21X library there")
    looked.append("KV210_LIBRARY (not set)")
    for folder in (package_dir, package_dir.parent):
        for name in _FILE_NAMES:
            candidate = folder / name
            if candidate.is_file():
                return str(candidate)
            looked.append(str(candidate))
    system = ctypes.util.find_library("VEL_KV21X")
    if system:
        return system
    looked.append("the system's loader (ctypes.util.find_library('VEL_KV21X') found nothing)")
    raise LibraryNotFoundError(
        "cannot find the VEL_KV21X library; looked at:\n  "
        + "\n  ".join(looked)
        + "\nSet KV210_LIBRARY to the library file, or install the library."
    )


def load(path: str) -> ctypes.CDLL:
    """Loads the library at ``path`` and declares its functions."""
    try:
        if sys.platform == "win32":
            library: ctypes.CDLL = ctypes.WinDLL(path)  # __stdcall on 32-bit Windows
        else:
            library = ctypes.CDLL(path)
    except OSError as error:
        raise LibraryNotFoundError(f"cannot load {path}: {error}") from error
    for name, argtypes in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFoundError(f"{path} is not the VEL_KV21X library: it lacks {name}") from None
        function.argtypes = argtypes
        function.restype = ctypes.c_int32
    return library


def library() -> ctypes.CDLL:
    """The library, found and loaded on first use."""
    global _loaded
    with LOCK:
        if _loaded is None:
            _loaded = load(find_library())
        return _loaded
