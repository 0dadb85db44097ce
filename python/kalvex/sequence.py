"""Radiometric sequences read back: raw counts, metadata and temperatures again.

    with kalvex.open_sequence("run.tiff") as seq:
        print(len(seq), seq.frame_rate)
        hot = seq[0].temperatures(kalvex.Scene(emissivity=0.6))

The functions come from ``kalvex_sequence.h``; with a library that lacks them,
every call here raises :class:`NotSupported`.
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from . import _library
from ._library import HEIGHT, WIDTH
from .errors import FileError, InvalidArgument, KalvexError, OutOfMemory
from .scene import KalvexScene, Scene

_U32 = ctypes.c_uint32
_I64 = ctypes.c_int64


class KalvexFrameInfo(ctypes.Structure):
    """``KalvexFrameInfo`` (kalvex_frame.h) as the C library lays it out."""

    _fields_ = [
        ("size", _U32), ("frameId", _U32), ("sequence", _U32), ("cameraFrame", _U32),
        ("timestampNs", _I64), ("utcNs", _I64), ("internalTemperature", ctypes.c_float),
        ("reserved0", _U32), ("internalTemperatureNs", _I64), ("framesSinceNuc", _U32),
        ("msSinceNuc", _U32), ("rawMin", _U32), ("rawMax", _U32), ("tableCrc", _U32),
        ("origin", _U32), ("flags", _U32), ("reserved1", _U32), ("scene", KalvexScene),
    ]


ORIGINS = {0: "stream", 1: "oneshot", 2: "triggered"}
FIRST_AFTER_NUC, HAS_TABLE, INTERNAL_VALID = 0x1, 0x2, 0x4


@dataclass(frozen=True)
class FrameInfo:
    """What was known when a frame was taken. Frame ids are unsigned 32-bit."""

    frame_id: int
    sequence: int
    camera_frame: int
    timestamp_ns: int
    utc_ns: int
    internal_temperature: float
    internal_temperature_ns: int
    frames_since_nuc: int
    ms_since_nuc: int
    first_after_nuc: bool
    raw_min: int
    raw_max: int
    table_crc: int
    origin: str
    scene: Scene

    @property
    def utc(self) -> datetime:
        return datetime.fromtimestamp(self.utc_ns / 1e9, tz=timezone.utc)

    @classmethod
    def _from_c(cls, c: KalvexFrameInfo) -> "FrameInfo":
        return cls(c.frameId, c.sequence, c.cameraFrame, c.timestampNs, c.utcNs,
                   c.internalTemperature, c.internalTemperatureNs, c.framesSinceNuc,
                   c.msSinceNuc, bool(c.flags & FIRST_AFTER_NUC), c.rawMin, c.rawMax,
                   c.tableCrc, ORIGINS.get(c.origin, "stream"), Scene._from_c(c.scene))


_P = ctypes.POINTER
_SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "KalvexSeq_OpenA": (ctypes.c_int32, [ctypes.c_char_p]),
    "KalvexSeq_Count": (ctypes.c_int32, [ctypes.c_int32]),
    "KalvexSeq_ReadRaw": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32]),
    "KalvexSeq_GetInfo": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_int32, _P(KalvexFrameInfo)]),
    "KalvexSeq_ReadTemperatures": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_int32, _P(KalvexScene),
                                                    ctypes.c_void_p, ctypes.c_int32]),
    "KalvexSeq_GetTable": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32]),
    "KalvexSeq_GetScene": (ctypes.c_int32, [ctypes.c_int32, _P(KalvexScene)]),
    "KalvexSeq_Close": (ctypes.c_int32, [ctypes.c_int32]),
}

_MESSAGES = {
    -1: "bad argument", -2: "the file cannot be read", -3: "not a TIFF file with pages",
    -4: "a page is not a 640 x 480 16-bit single-sample image", -5: "bad or missing frame metadata",
    -6: "the calibration table is missing or damaged", -7: "a page's data is truncated",
    -8: "out of memory", -9: "the sequence is closed", -10: "recorded without a calibration table",
}


def _fn(name: str) -> Any:
    restype, argtypes = _SIGNATURES[name]
    return _library.optional(name, restype, argtypes)


def _check(result: int, what: str) -> int:
    if result >= 0:
        return result
    message = f"{what}: {_MESSAGES.get(result, 'failed')} (code {result})"
    if result == -1:
        raise InvalidArgument(message)
    if result == -8:
        raise OutOfMemory(message)
    if result in (-2, -3, -4, -5, -6, -7):
        raise FileError(message)
    raise KalvexError(message)


class SequenceFrame:
    """One recorded frame; reads its pixels when asked."""

    def __init__(self, seq: "Sequence", index: int) -> None:
        self._seq, self.index = seq, index

    def raw(self) -> np.ndarray:
        """uint16 counts, 480 x 640, top row first."""
        out = np.empty((HEIGHT, WIDTH), dtype=np.uint16)
        _check(_fn("KalvexSeq_ReadRaw")(self._seq._handle(), self.index, out.ctypes.data, out.nbytes),
               "read raw")
        return out

    def temperatures(self, scene: Optional[Scene] = None) -> np.ndarray:
        """float32 deg C (-999 where the table has none), through the recorded
        table, with scene (None: as recorded)."""
        out = np.empty((HEIGHT, WIDTH), dtype=np.float32)
        c_scene = ctypes.byref(scene._to_c()) if scene is not None else None
        _check(_fn("KalvexSeq_ReadTemperatures")(self._seq._handle(), self.index, c_scene,
                                                 out.ctypes.data, out.nbytes), "read temperatures")
        return out

    def color(self, order: str = "rgb", out: Optional[np.ndarray] = None, *,
              palette: Any = None, agc: Optional[str] = None, tail_percent: Any = None,
              plateau_limit: Any = None, isotherms: Any = None, bar: bool = False,
              scene: Optional[Scene] = None) -> Any:
        """The frame coloured as :meth:`kalvex.Frame.color` colours a live one,
        uint8 480 x 640 x 3, top row first, RGB (or ``order="bgr"``). Each frame
        is coloured on its own: ``agc="range"`` (the default) takes the range
        the camera's automatic colour range takes from this frame, so without
        arguments a still scene's frame comes back in the library's own
        colours. Isotherms and the bar's ends are temperatures as
        :meth:`temperatures` with ``scene`` gives them."""
        from .measure import colorize_sequence_frame

        if order not in ("rgb", "bgr"):
            raise InvalidArgument(f'order must be "rgb" or "bgr", not {order!r}')
        if out is None:
            out = np.empty((HEIGHT, WIDTH, 3), np.uint8)
        else:
            _library.check_array(out, np.uint8, (HEIGHT, WIDTH, 3), "color()")
        return colorize_sequence_frame(self, order, out, palette, agc, tail_percent, plateau_limit,
                                       isotherms, bar, scene)

    def measure(self, roi: Any, scene: Optional[Scene] = None) -> Any:
        """The statistics of a :class:`kalvex.Roi` (or of a list of them) over
        :meth:`temperatures` with ``scene``; a region with an emissivity of its own
        is compensated from that scene (None: as recorded) at its emissivity."""
        from .measure import measure_sequence_frame

        return measure_sequence_frame(self, roi, scene)

    @property
    def info(self) -> FrameInfo:
        c = KalvexFrameInfo()
        c.size = ctypes.sizeof(c)
        _check(_fn("KalvexSeq_GetInfo")(self._seq._handle(), self.index, ctypes.byref(c)), "frame info")
        return FrameInfo._from_c(c)

    @property
    def sequence(self) -> int:
        return self.info.sequence

    @property
    def timestamp_ns(self) -> int:
        return self.info.timestamp_ns

    @property
    def utc(self) -> datetime:
        return self.info.utc


class Sequence:
    """An open radiometric sequence (a context manager)."""

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        self.path = os.fspath(path)
        self._seq = _check(_fn("KalvexSeq_OpenA")(os.fsencode(self.path)), f"open {self.path}")

    def _handle(self) -> int:
        if self._seq <= 0:
            raise KalvexError("the sequence is closed")
        return self._seq

    def close(self) -> None:
        if self._seq > 0:
            _fn("KalvexSeq_Close")(self._seq)
            self._seq = 0

    def __enter__(self) -> "Sequence":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __len__(self) -> int:
        return _check(_fn("KalvexSeq_Count")(self._handle()), "count")

    def __getitem__(self, index: int) -> SequenceFrame:
        n = len(self)
        if index < 0:
            index += n
        if not 0 <= index < n:
            raise IndexError(f"frame {index} of {n}")
        return SequenceFrame(self, index)

    def __iter__(self) -> Iterator[SequenceFrame]:
        for k in range(len(self)):
            yield SequenceFrame(self, k)

    @property
    def table(self) -> bytes:
        """The calibration table file's bytes (empty: recorded without one)."""
        size = _check(_fn("KalvexSeq_GetTable")(self._handle(), None, 0), "table")
        buffer = ctypes.create_string_buffer(max(size, 1))
        _check(_fn("KalvexSeq_GetTable")(self._handle(), buffer, size), "table")
        return buffer.raw[:size]

    @property
    def scene(self) -> Scene:
        c = KalvexScene()
        _check(_fn("KalvexSeq_GetScene")(self._handle(), ctypes.byref(c)), "scene")
        return Scene._from_c(c)

    @property
    def frame_rate(self) -> float:
        """Frames per second from the frames' own times (0 for fewer than two)."""
        n = len(self)
        if n < 2:
            return 0.0
        span = self[n - 1].timestamp_ns - self[0].timestamp_ns
        return (n - 1) * 1e9 / span if span > 0 else 0.0


def open_sequence(path: "os.PathLike[str] | str") -> Sequence:
    """Opens a radiometric sequence (or one of its parts)."""
    return Sequence(path)
