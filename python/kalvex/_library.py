"""Finding and loading the native library, and declaring its C functions.

Everything here is the C ABI of ``kalvex.h`` as ``ctypes`` sees it; nothing
else in the package touches ``ctypes.CDLL`` directly.
"""

from __future__ import annotations

import ctypes
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Any, Callable, List, Optional, Sequence, Tuple

from .errors import InvalidArgument, KalvexError, NotSupported

# Window messages and limits of the C interface.
WM_FRAME = 0x8002
WM_EVENT = 0x8003
WIDTH = 640
HEIGHT = 480
RING_LENGTH = 30
MAX_PATH_UNITS = 260

_c_int = ctypes.c_int
_c_void_p = ctypes.c_void_p
_c_wchar_p = ctypes.c_wchar_p
_c_char_p = ctypes.c_char_p

# (name, restype, argtypes): the 29 exported functions, all cdecl.
FUNCTIONS: Sequence[Tuple[str, Any, List[Any]]] = (
    ("Kalvex_Initialize", _c_int, [_c_void_p]),
    ("Kalvex_Release", _c_int, [_c_int]),
    ("Kalvex_GetDllVersion", _c_int, []),
    ("Kalvex_GetLastError", _c_int, [_c_int]),
    ("Kalvex_SetWindowHandle", _c_int, [_c_int, _c_void_p]),
    ("Kalvex_IsCameraEnableW", _c_int, [_c_int, _c_int, _c_wchar_p, _c_int]),
    ("Kalvex_IsCameraEnableA", _c_int, [_c_int, _c_int, _c_char_p, _c_int]),
    ("Kalvex_SetCameraNumber", _c_int, [_c_int, _c_int]),
    ("Kalvex_SetCameraType", _c_int, [_c_int]),
    ("Kalvex_SetTableW", _c_int, [_c_int, _c_wchar_p]),
    ("Kalvex_SetTableA", _c_int, [_c_int, _c_char_p]),
    ("Kalvex_Preview", _c_int, [_c_int]),
    ("Kalvex_Close", _c_int, [_c_int]),
    ("Kalvex_Pause", _c_int, [_c_int]),
    ("Kalvex_Start", _c_int, [_c_int]),
    ("Kalvex_OneShot", _c_int, [_c_int]),
    ("Kalvex_Trigger", _c_int, [_c_int]),
    ("Kalvex_Nuc", _c_int, [_c_int]),
    ("Kalvex_GetNewID", _c_int, [_c_int]),
    ("Kalvex_GetColor", _c_int, [_c_int, _c_int, _c_void_p, _c_int]),
    ("Kalvex_GetRaw", _c_int, [_c_int, _c_int, _c_void_p, _c_int]),
    ("Kalvex_GetTemperature", _c_int, [_c_int, _c_int, _c_void_p, _c_int]),
    ("Kalvex_GetInternalTemperature", ctypes.c_float, [_c_int, ctypes.POINTER(_c_int)]),
    ("Kalvex_GetParam", _c_int, [_c_int, _c_int]),
    ("Kalvex_SetParam", _c_int, [_c_int, _c_int, _c_int]),
    ("Kalvex_SaveW", _c_int, [_c_int, _c_wchar_p, _c_int]),
    ("Kalvex_SaveA", _c_int, [_c_int, _c_char_p, _c_int]),
    ("Kalvex_RecW", _c_int, [_c_int, _c_wchar_p, _c_int]),
    ("Kalvex_RecA", _c_int, [_c_int, _c_char_p, _c_int]),
)


class KalvexMessage(ctypes.Structure):
    """``KalvexMessage`` of the POSIX extension."""

    _fields_ = [
        ("hwnd", _c_void_p),
        ("message", ctypes.c_uint),
        ("wParam", ctypes.c_size_t),
        ("lParam", ctypes.c_long),
    ]


DEBUG_LISTENER = ctypes.CFUNCTYPE(None, _c_wchar_p, _c_void_p)

# The POSIX extension: absent from kalvex.dll, where the package polls instead.
POSIX_FUNCTIONS: Sequence[Tuple[str, Any, List[Any]]] = (
    ("KalvexPosix_CreateWindow", _c_void_p, []),
    ("KalvexPosix_GetMessage", _c_int, [_c_void_p, ctypes.POINTER(KalvexMessage), _c_int]),
    ("KalvexPosix_DestroyWindow", _c_int, [_c_void_p]),
    ("KalvexPosix_SetDebugListener", None, [DEBUG_LISTENER, _c_void_p]),
)


class LibraryNotFound(KalvexError, OSError):
    """The native library could not be loaded from any of the places tried."""


def _library_names() -> List[str]:
    if os.name == "nt":
        return ["kalvex.dll"]
    if sys.platform == "darwin":
        return ["libkalvex.1.dylib", "libkalvex.dylib"]
    return ["libkalvex.so.1", "libkalvex.so"]


def _pe_machine(path: str) -> Optional[int]:
    """The machine field of a PE file (0x14C i386, 0x8664 x86-64), None if not one."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return None
            f.seek(struct.unpack_from("<I", head, 0x3C)[0])
            pe = f.read(6)
    except OSError:
        return None
    if len(pe) < 6 or pe[:4] != b"PE\0\0":
        return None
    return int(struct.unpack_from("<H", pe, 4)[0])


def _explain(path: str, error: OSError) -> str:
    text = f"{path}: {error}"
    if os.name == "nt" and os.path.isfile(path):
        python_bits = struct.calcsize("P") * 8
        machine = _pe_machine(path)
        library_bits = {0x14C: 32, 0x8664: 64}.get(machine or 0)
        if library_bits and library_bits != python_bits:
            text += (
                f" (the library is {library_bits}-bit and this Python is {python_bits}-bit:"
                f" use a {library_bits}-bit Python)"
            )
    return text


def _candidates() -> List[Tuple[str, str]]:
    """(what, path) pairs in the order they are tried."""
    explicit = os.environ.get("KALVEX_LIBRARY")
    if explicit:
        # An explicit choice is final: falling back would hide the mistake. A
        # folder names the library in it.
        if os.path.isdir(explicit):
            return [("KALVEX_LIBRARY folder", os.path.join(explicit, name))
                    for name in _library_names()]
        return [("KALVEX_LIBRARY", explicit)]
    here = Path(__file__).resolve().parent
    places = []
    for name in _library_names():
        shipped = here / "lib" / name
        places.append(("inside the package", str(shipped)))
    for name in _library_names():
        places.append(("system loader", name))
    if os.name == "nt":
        # Python's loader does not search PATH for DLLs; find_library does.
        import ctypes.util

        found = ctypes.util.find_library("kalvex")
        if found:
            places.append(("PATH", found))
    return places


def load_library() -> ctypes.CDLL:
    """Loads the library: KALVEX_LIBRARY, then the package's own copy, then the system loader."""
    tried = []
    for what, path in _candidates():
        if what == "inside the package" and not os.path.isfile(path):
            tried.append(f"{path}: not there ({what})")
            continue
        if what == "KALVEX_LIBRARY" and not os.path.isfile(path):
            tried.append(f"{path}: no such file (KALVEX_LIBRARY)")
            continue
        if what == "KALVEX_LIBRARY folder" and not os.path.isfile(path):
            tried.append(f"{path}: not in the folder that KALVEX_LIBRARY names")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            tried.append(_explain(path, error) + f" ({what})")
            continue
        declare(lib, FUNCTIONS, required=True)
        declare(lib, POSIX_FUNCTIONS, required=False)
        lib._kalvex_path = path  # type: ignore[attr-defined]
        return lib
    raise LibraryNotFound(
        "the Kalvex library could not be loaded; tried:\n  "
        + "\n  ".join(tried)
        + "\nSet KALVEX_LIBRARY to the library file (libkalvex.so.1 or kalvex.dll)."
    )


def declare(lib: ctypes.CDLL, table: Sequence[Tuple[str, Any, List[Any]]], required: bool) -> None:
    for name, restype, argtypes in table:
        try:
            function = getattr(lib, name)
        except AttributeError:
            if required:
                raise LibraryNotFound(
                    f"{getattr(lib, '_name', lib)} is not the Kalvex library: {name} is missing"
                ) from None
            continue
        function.restype = restype
        function.argtypes = argtypes


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_listener: Any = None


def lib() -> ctypes.CDLL:
    """The loaded library (loaded on first use)."""
    global _lib
    if _lib is None:
        with _lock:
            if _lib is None:
                loaded = load_library()
                _install_debug_listener(loaded)
                _lib = loaded
    return _lib


def optional(name: str, restype: Any, argtypes: List[Any]) -> Callable[..., Any]:
    """A function that newer libraries export; NotSupported when this one lacks it."""
    library = lib()
    try:
        function = getattr(library, name)
    except AttributeError:
        raise NotSupported(
            f"this Kalvex library ({library._kalvex_path}) has no {name}", code=10  # type: ignore[attr-defined]
        ) from None
    function.restype = restype
    function.argtypes = argtypes
    return function


def has_posix_windows() -> bool:
    return hasattr(lib(), "KalvexPosix_CreateWindow")


def _install_debug_listener(library: ctypes.CDLL) -> None:
    """Sends the library's debug lines to the logger "kalvex" (POSIX builds only)."""
    global _listener
    if not hasattr(library, "KalvexPosix_SetDebugListener"):
        return
    import atexit
    import logging

    log = logging.getLogger("kalvex")

    def listener(line: Optional[str], _context: Any) -> None:
        try:
            if line:
                log.debug("%s", line.rstrip("\r\n"))
        except Exception:  # never let an exception unwind into C
            pass

    _listener = DEBUG_LISTENER(listener)  # kept alive for as long as it is installed
    library.KalvexPosix_SetDebugListener(_listener, None)

    def remove() -> None:
        # Library threads must not call into an interpreter that is going away.
        library.KalvexPosix_SetDebugListener(DEBUG_LISTENER(), None)  # type: ignore[call-overload]

    atexit.register(remove)


def check_array(out: Any, dtype: Any, shape: Tuple[int, ...], what: str) -> Any:
    """out= of a call that fills an array: a writeable C-contiguous numpy array
    of that dtype and shape, or InvalidArgument."""
    import numpy as np

    if not isinstance(out, np.ndarray):
        raise InvalidArgument(f"out= for {what} must be a numpy array, not {type(out).__name__}")
    if out.dtype != np.dtype(dtype) or out.shape != shape:
        raise InvalidArgument(
            f"out= for {what} must be {np.dtype(dtype).name} of shape {shape},"
            f" not {out.dtype.name} of shape {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise InvalidArgument(f"out= for {what} must be C-contiguous and writeable")
    return out
