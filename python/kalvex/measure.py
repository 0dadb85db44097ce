"""Measuring and seeing: palettes and contrast, isotherms, regions with their
statistics in degrees Celsius, and alarms on a region's statistic.

    box = kalvex.Roi.box(300, 220, 40, 40)
    stats = frame.measure(box)                 # min, max, mean, std, count, hottest ...
    rgb = frame.color(palette="ironbow", agc="plateau")
    camera.alarms.add(box, "max", above=60.0, hysteresis=1.0, dwell_ms=500)

The functions come from ``kalvex_measure.h``; with a library that lacks them,
every call here raises :class:`NotSupported`. Regions are in frame
coordinates: x = 0 the left column, y = 0 the top line of the scene, whatever
the camera's row order.
"""

from __future__ import annotations

import ctypes
import dataclasses
import logging
import math
import operator
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import numpy as np

from . import _library
from ._library import HEIGHT, WIDTH
from .errors import (CameraClosed, EventCode, FrameExpired, InvalidArgument, KalvexError,
                     error_for)
from .scene import KalvexScene, Scene

if TYPE_CHECKING:
    from .camera import _Core
    from .sequence import SequenceFrame

log = logging.getLogger("kalvex")

# Posted beside the frame and event messages while alarms are defined.
WM_ALARM = 0x8004

PALETTE_CUSTOM = 100
PALETTE_ENTRIES = 256
AGC: Dict[str, int] = {"range": 0, "linear": 1, "plateau": 2}
ISOTHERM_MODES: Dict[str, int] = {"above": 1, "below": 2, "between": 3}
MAX_ISOTHERMS = 4
ROI_KINDS: Dict[str, int] = {"spot": 1, "box": 2, "ellipse": 3, "line": 4, "polygon": 5}
ROI_MAX_VERTICES = 64
_ROI_EMISSIVITY, _ROI_REFLECTED = 0x1, 0x2
STATISTICS: Dict[str, int] = {"min": 1, "max": 2, "mean": 3, "std": 4}
MAX_ALARMS = 32
_MAX_WAITING = 256  # alarm events the library keeps for polling
_REFLECTED_RANGE = (-60.0, 2100.0)  # deg C, the radiance model's range
_NO_TEMPERATURE = -999.0
_PROFILE_CAPACITY = WIDTH + HEIGHT  # a line has at most max(width, height) pixels
_COLOR_BYTES = WIDTH * HEIGHT * 3
_INT32_MIN, _INT32_MAX = -(2 ** 31), 2 ** 31 - 1

_i32, _u32, _f = ctypes.c_int32, ctypes.c_uint32, ctypes.c_float
_P = ctypes.POINTER


class KalvexIsotherm(ctypes.Structure):
    _fields_ = [("mode", _i32), ("t1", _f), ("t2", _f), ("color", _u32)]


class KalvexColorOptions(ctypes.Structure):
    _fields_ = [("palette", _i32), ("custom", _P(ctypes.c_uint8)), ("agc", _i32),
                ("tailPercent", _f), ("plateauLimit", _f), ("damping", _f), ("rgb", _i32),
                ("isothermCount", _i32), ("isotherms", KalvexIsotherm * MAX_ISOTHERMS)]


class KalvexColorBar(ctypes.Structure):
    _fields_ = [("low", _f), ("high", _f), ("rgb", ctypes.c_uint8 * (3 * PALETTE_ENTRIES))]


class KalvexRoi(ctypes.Structure):
    _fields_ = [("kind", _i32), ("count", _i32), ("v", _i32 * (2 * ROI_MAX_VERTICES)),
                ("flags", _u32), ("emissivity", _f), ("reflected", _f)]


class KalvexStats(ctypes.Structure):
    _fields_ = [("min", _f), ("max", _f), ("mean", _f), ("std", _f), ("count", _i32),
                ("missing", _i32), ("hottestX", _i32), ("hottestY", _i32), ("coldestX", _i32),
                ("coldestY", _i32)]


class KalvexAlarm(ctypes.Structure):
    _fields_ = [("statistic", _i32), ("above", _i32), ("threshold", _f), ("hysteresis", _f),
                ("dwellMs", _u32)]


class KalvexAlarmEvent(ctypes.Structure):
    _fields_ = [("alarm", _i32), ("active", _i32), ("value", _f), ("frameId", _u32),
                ("timeMs", _u32), ("sinceMs", _u32)]


_F = _P(ctypes.c_float)
_SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "KalvexMeasure_PaletteName": (ctypes.c_char_p, [_i32]),
    "KalvexMeasure_PaletteId": (_i32, [ctypes.c_char_p]),
    "KalvexMeasure_PaletteColors": (_i32, [_i32, ctypes.c_void_p, _i32]),
    "KalvexMeasure_Colorize": (_i32, [_i32, _u32, _P(KalvexColorOptions), ctypes.c_void_p, _i32,
                                      _P(KalvexColorBar)]),
    "KalvexSeq_Colorize": (_i32, [_i32, _i32, _P(KalvexScene), _P(KalvexColorOptions),
                                  ctypes.c_void_p, _i32, _P(KalvexColorBar)]),
    "KalvexMeasure_Stats": (_i32, [_i32, _u32, _P(KalvexRoi), _i32, _P(KalvexStats)]),
    "KalvexMeasure_Profile": (_i32, [_i32, _u32, _P(KalvexRoi), _F, _i32]),
    "KalvexMeasure_StatsOf": (_i32, [_F, _i32, _i32, _P(KalvexScene), _P(KalvexRoi), _i32,
                                     _P(KalvexStats)]),
    "KalvexMeasure_ProfileOf": (_i32, [_F, _i32, _i32, _P(KalvexRoi), _F, _i32]),
    "KalvexMeasure_Difference": (ctypes.c_float, [_P(KalvexStats), _P(KalvexStats), _i32]),
    "KalvexMeasure_AddAlarm": (_i32, [_i32, _P(KalvexRoi), _P(KalvexAlarm)]),
    "KalvexMeasure_RemoveAlarm": (_i32, [_i32, _i32]),
    "KalvexMeasure_AlarmActive": (_i32, [_i32, _i32]),
    "KalvexMeasure_PollAlarm": (_i32, [_i32, _P(KalvexAlarmEvent)]),
}


def _fn(name: str) -> Any:
    restype, argtypes = _SIGNATURES[name]
    return _library.optional(name, restype, argtypes)


# ---- checks ------------------------------------------------------------------------------


def _number(value: Any, what: str) -> float:
    """A finite float; bools, strings and NaN are refused before the library sees them."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise InvalidArgument(f"{what} must be a number, not {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise InvalidArgument(f"{what} must be a finite number, not {value!r}")
    return number


def _int32(value: Any, what: str) -> int:
    if isinstance(value, bool):
        raise InvalidArgument(f"{what} must be an int, not {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise InvalidArgument(f"{what} must be an int, not {value!r}") from None
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise InvalidArgument(f"{what} out of range: {number}")
    return number


def _temperature_or_nan(value: float) -> float:
    return math.nan if value == _NO_TEMPERATURE else float(value)


# ---- palettes and colour -----------------------------------------------------------------


def palettes() -> List[str]:
    """The names of the library's palettes, in its order ("hue", the default, first)."""
    name_of = _fn("KalvexMeasure_PaletteName")
    names = []
    while True:
        name = name_of(len(names))
        if not name:
            return names
        names.append(name.decode("ascii"))


def _palette_id(name: str) -> int:
    found = int(_fn("KalvexMeasure_PaletteId")(name.encode("utf-8", "replace")))
    if found < 0:
        raise InvalidArgument(f"unknown palette {name!r}: one of {', '.join(palettes())}"
                              " or 256 RGB entries")
    return found


def palette_colors(name: str) -> np.ndarray:
    """A named palette's entries, coldest first: uint8 (N, 3) RGB, 360 for "hue",
    256 for the others."""
    if not isinstance(name, str):
        raise InvalidArgument(f"palette name must be a str, not {name!r}")
    palette = _palette_id(name)
    out = np.empty((360, 3), np.uint8)  # the largest: hue
    count = int(_fn("KalvexMeasure_PaletteColors")(palette, out.ctypes.data, out.nbytes))
    return out[:count].copy()


def _custom_palette(value: Any) -> np.ndarray:
    try:
        array = np.asarray(value)
    except Exception:
        array = None
    if array is None or array.shape != (PALETTE_ENTRIES, 3) or array.dtype.kind not in "iub":
        raise InvalidArgument(
            "a custom palette must be 256 RGB entries (an integer array of shape (256, 3)),"
            f" not {type(value).__name__} of shape {getattr(array, 'shape', None)}")
    if array.dtype.kind == "b" or array.min() < 0 or array.max() > 255:
        raise InvalidArgument("custom palette entries must be 0-255")
    return np.ascontiguousarray(array, dtype=np.uint8)


def _rgb_word(color: Any) -> int:
    """0x00RRGGBB from (r, g, b) or from such a word."""
    if isinstance(color, (int, np.integer)) and not isinstance(color, bool):
        if 0 <= color <= 0xFFFFFF:
            return int(color)
    elif isinstance(color, (tuple, list)) and len(color) == 3 and all(
            isinstance(c, (int, np.integer)) and not isinstance(c, bool) and 0 <= c <= 255
            for c in color):
        return (int(color[0]) << 16) | (int(color[1]) << 8) | int(color[2])
    raise InvalidArgument(f"colour must be (r, g, b) of 0-255 or 0xRRGGBB, not {color!r}")


class Isotherm:
    """Paints the pixels at or above, at or below, or between temperatures (deg C)
    with one colour over the palette: ``Isotherm.above(60.0, color=(255, 0, 0))``."""

    __slots__ = ("mode", "t1", "t2", "color")

    def __init__(self, mode: str, t1: Any, t2: Any = None,
                 color: Any = (0, 255, 0)) -> None:
        if mode not in ISOTHERM_MODES:
            raise InvalidArgument(f"isotherm mode must be above, below or between, not {mode!r}")
        first = _number(t1, "isotherm temperature")
        second = first if mode != "between" else _number(t2, "isotherm upper temperature")
        if second < first:
            raise InvalidArgument(f"isotherm between {first} and {second}: the lower comes first")
        self.mode, self.t1, self.t2 = mode, first, second
        self.color = _rgb_word(color)

    @classmethod
    def above(cls, celsius: float, color: Any = (0, 255, 0)) -> "Isotherm":
        return cls("above", celsius, color=color)

    @classmethod
    def below(cls, celsius: float, color: Any = (0, 255, 0)) -> "Isotherm":
        return cls("below", celsius, color=color)

    @classmethod
    def between(cls, low: float, high: float, color: Any = (0, 255, 0)) -> "Isotherm":
        return cls("between", low, high, color=color)

    def __repr__(self) -> str:
        limits = f"{self.t1}, {self.t2}" if self.mode == "between" else f"{self.t1}"
        return f"Isotherm.{self.mode}({limits}, color=0x{self.color:06X})"


class ColorBar(NamedTuple):
    """The palette as the contrast mapped a frame: 256 steps evenly spaced in raw
    values from ``low`` to ``high`` (deg C; NaN where the table has none)."""

    colors: np.ndarray  # uint8 (256, 3) RGB, coldest first
    low: float
    high: float


def color_options(palette: Any, agc: Optional[str], tail_percent: Any, plateau_limit: Any,
                  damping: Any, isotherms: Any, rgb: bool) -> Tuple[KalvexColorOptions, Any]:
    """The library's options, and what must stay alive while it reads them."""
    c = KalvexColorOptions()
    keep: Any = None
    c.palette, c.agc, c.tailPercent, c.plateauLimit = 0, AGC["range"], 1.0, 150.0
    if palette is None:
        pass
    elif isinstance(palette, str):
        c.palette = _palette_id(palette)
    else:
        keep = _custom_palette(palette)
        c.palette = PALETTE_CUSTOM
        c.custom = keep.ctypes.data_as(_P(ctypes.c_uint8))
    mode = "range" if agc is None else agc
    if mode not in AGC:
        raise InvalidArgument(f"agc must be range, linear or plateau, not {agc!r}")
    c.agc = AGC[mode]
    if tail_percent is not None:
        if mode != "linear":
            raise InvalidArgument('tail_percent applies to agc="linear" only')
        c.tailPercent = _number(tail_percent, "tail_percent")
        if not 0.0 <= c.tailPercent < 50.0:
            raise InvalidArgument(f"tail_percent must be 0 to below 50, not {tail_percent}")
    if plateau_limit is not None:
        if mode != "plateau":
            raise InvalidArgument('plateau_limit applies to agc="plateau" only')
        c.plateauLimit = _number(plateau_limit, "plateau_limit")
        if not c.plateauLimit >= 1.0:
            raise InvalidArgument(f"plateau_limit must be >= 1 pixel per bin, not {plateau_limit}")
    if damping is not None:
        if mode == "range":
            raise InvalidArgument('damping applies to agc="linear" and "plateau"')
        c.damping = _number(damping, "damping")
        if not 0.0 <= c.damping < 1.0:
            raise InvalidArgument(f"damping must be 0 to below 1, not {damping}")
    if isotherms is not None:
        items = [isotherms] if isinstance(isotherms, Isotherm) else list(isotherms)
        if len(items) > MAX_ISOTHERMS or not all(isinstance(i, Isotherm) for i in items):
            raise InvalidArgument(f"isotherms must be up to {MAX_ISOTHERMS} kalvex.Isotherm")
        for k, iso in enumerate(items):
            c.isotherms[k] = KalvexIsotherm(ISOTHERM_MODES[iso.mode], iso.t1, iso.t2, iso.color)
        c.isothermCount = len(items)
    c.rgb = 1 if rgb else 0
    return c, keep


def _frame_present(core: "_Core", frame_id: int) -> bool:
    """Whether a slot of the ring still holds the frame (lock held); the codes
    of the probe are taken with it."""
    if getattr(core, "_probe", None) is None:
        core._probe = np.empty((HEIGHT, WIDTH), np.uint16)  # type: ignore[attr-defined]
    probe = core._probe  # type: ignore[attr-defined]
    present = core.lib.Kalvex_GetRaw(core.handle, ctypes.c_int32(frame_id).value,
                                     probe.ctypes.data, probe.nbytes) == 1
    core.pop_codes()
    return bool(present)


def _refused(core: "_Core", frame_id: int, codes: List[int], what: str) -> KalvexError:
    """The error of a refused measurement call (lock held): code 5 means either
    that the frame has left the ring or that the library refused the request."""
    if codes and codes[0] == EventCode.INVALID_ARGUMENT and not _frame_present(core, frame_id):
        return FrameExpired(f"frame {frame_id} is no longer in the ring", 5, codes)
    return error_for(what, codes, InvalidArgument)


def colorize(core: "_Core", frame_id: int, order: str, out: np.ndarray, palette: Any,
             agc: Optional[str], tail_percent: Any, plateau_limit: Any, damping: Any,
             isotherms: Any, bar: bool) -> Union[np.ndarray, Tuple[np.ndarray, ColorBar]]:
    options, keep = color_options(palette, agc, tail_percent, plateau_limit, damping,
                                  isotherms, order == "rgb")
    function = _fn("KalvexMeasure_Colorize")
    c_bar = KalvexColorBar() if bar else None
    with core.lock:  # keep (a custom palette) lives on until the library has read it
        core.check_open()
        core.flush()
        if function(core.handle, frame_id, ctypes.byref(options), out.ctypes.data, _COLOR_BYTES,
                    None if c_bar is None else ctypes.byref(c_bar)):
            codes = None
        else:
            codes = core.pop_codes()
            error = _refused(core, frame_id, codes, f"cannot colour frame {frame_id}")
    if codes is not None:
        raise error
    if c_bar is None:
        return out
    colors = np.frombuffer(bytes(c_bar.rgb), np.uint8).reshape(PALETTE_ENTRIES, 3).copy()
    return out, ColorBar(colors, _temperature_or_nan(c_bar.low), _temperature_or_nan(c_bar.high))


def colorize_sequence_frame(frame: "SequenceFrame", order: str, out: np.ndarray, palette: Any,
                            agc: Optional[str], tail_percent: Any, plateau_limit: Any,
                            isotherms: Any, bar: bool,
                            scene: Optional[Scene]) -> Union[np.ndarray, Tuple[np.ndarray, ColorBar]]:
    """A recorded frame coloured on its own (no damping); isotherms and the
    bar read temperatures as frame.temperatures(scene) does."""
    from .sequence import _check

    if scene is not None and not isinstance(scene, Scene):
        raise InvalidArgument(f"scene must be a kalvex.Scene or None, not {type(scene).__name__}")
    options, keep = color_options(palette, agc, tail_percent, plateau_limit, None, isotherms,
                                  order == "rgb")
    c_bar = KalvexColorBar() if bar else None
    c_scene = ctypes.byref(scene._to_c()) if scene is not None else None
    _check(_fn("KalvexSeq_Colorize")(frame._seq._handle(), frame.index, c_scene,
                                     ctypes.byref(options), out.ctypes.data, _COLOR_BYTES,
                                     None if c_bar is None else ctypes.byref(c_bar)),
           f"colour frame {frame.index}")
    del keep  # the custom palette lived until the library had read it
    if c_bar is None:
        return out
    colors = np.frombuffer(bytes(c_bar.rgb), np.uint8).reshape(PALETTE_ENTRIES, 3).copy()
    return out, ColorBar(colors, _temperature_or_nan(c_bar.low), _temperature_or_nan(c_bar.high))


# ---- regions and statistics --------------------------------------------------------------


class Roi:
    """A region of a frame: ``Roi.spot``, ``.box``, ``.ellipse``, ``.line`` or
    ``.polygon``, in frame coordinates (ints; y = 0 at the top of the scene).

    ``emissivity=`` (0 < e <= 1) and ``reflected=`` (deg C) measure the region
    with its own emissivity and reflected temperature instead of the camera's
    scene (its atmosphere still applies). The library refuses a region that
    does not lie wholly inside the frame or is empty or degenerate when it is
    used: :class:`InvalidArgument`."""

    __slots__ = ("kind", "values", "emissivity", "reflected", "_c")

    def __init__(self, kind: str, values: Sequence[int], emissivity: Any = None,
                 reflected: Any = None) -> None:
        if kind not in ROI_KINDS:
            raise InvalidArgument(
                f"region kind must be one of {', '.join(ROI_KINDS)}, not {kind!r}")
        c = KalvexRoi()
        c.kind = ROI_KINDS[kind]
        numbers = tuple(_int32(v, f"{kind} coordinate") for v in values)
        if kind == "polygon":
            if not 3 <= len(numbers) // 2 <= ROI_MAX_VERTICES:
                raise InvalidArgument(
                    f"a polygon has 3 to {ROI_MAX_VERTICES} vertices, not {len(numbers) // 2}")
            c.count = len(numbers) // 2
        for k, v in enumerate(numbers):
            c.v[k] = v
        if emissivity is not None:
            e = _number(emissivity, "emissivity")
            if not 0.0 < e <= 1.0:
                raise InvalidArgument(f"emissivity must be above 0 and at most 1, not {e}")
            c.flags |= _ROI_EMISSIVITY
            c.emissivity = emissivity = e
        if reflected is not None:
            r = _number(reflected, "reflected temperature")
            if not _REFLECTED_RANGE[0] <= r <= _REFLECTED_RANGE[1]:
                raise InvalidArgument(f"reflected temperature must be {_REFLECTED_RANGE[0]:g} to"
                                      f" {_REFLECTED_RANGE[1]:g} deg C, not {r}")
            c.flags |= _ROI_REFLECTED
            c.reflected = reflected = r
        object.__setattr__(self, "kind", kind)
        object.__setattr__(self, "values", numbers)
        object.__setattr__(self, "emissivity", emissivity)
        object.__setattr__(self, "reflected", reflected)
        object.__setattr__(self, "_c", c)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Roi cannot be changed: make a new one")

    @classmethod
    def spot(cls, x: int, y: int, r: int = 0, **scene: Any) -> "Roi":
        """The pixel (x, y), or the pixels within r of it."""
        return cls("spot", (x, y, r), **scene)

    @classmethod
    def box(cls, x: int, y: int, w: int, h: int, **scene: Any) -> "Roi":
        """w x h pixels from (x, y), the top left corner."""
        return cls("box", (x, y, w, h), **scene)

    @classmethod
    def ellipse(cls, cx: int, cy: int, rx: int, ry: int, **scene: Any) -> "Roi":
        """The pixels within the ellipse of radii rx, ry around (cx, cy)."""
        return cls("ellipse", (cx, cy, rx, ry), **scene)

    @classmethod
    def line(cls, x0: int, y0: int, x1: int, y1: int, **scene: Any) -> "Roi":
        """The pixels from (x0, y0) to (x1, y1), both included, in that order."""
        return cls("line", (x0, y0, x1, y1), **scene)

    @classmethod
    def polygon(cls, points: Any, **scene: Any) -> "Roi":
        """The pixels inside or on the edges of the polygon of (x, y) vertices
        (3 to 64 of them; an (N, 2) array works too)."""
        try:
            pairs = [tuple(p) for p in points]
        except TypeError:
            raise InvalidArgument(f"polygon points must be (x, y) pairs, not {points!r}") from None
        if not all(len(p) == 2 for p in pairs):
            raise InvalidArgument("polygon points must be (x, y) pairs")
        return cls("polygon", [v for p in pairs for v in p], **scene)

    @property
    def has_own_scene(self) -> bool:
        return self.emissivity is not None or self.reflected is not None

    def _plain(self) -> KalvexRoi:
        c = KalvexRoi()
        ctypes.pointer(c)[0] = self._c
        c.flags = 0
        return c

    def _scene(self, base: Scene) -> Scene:
        """base with this region's emissivity and reflected temperature."""
        changes: Dict[str, float] = {}
        if self.emissivity is not None:
            changes["emissivity"] = self.emissivity
        if self.reflected is not None:
            changes["reflected"] = self.reflected
        return dataclasses.replace(base, **changes)

    def __eq__(self, other: Any) -> bool:
        return isinstance(other, Roi) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def _key(self) -> Tuple[Any, ...]:
        return (self.kind, self.values, self.emissivity, self.reflected)

    def __repr__(self) -> str:
        if self.kind == "polygon":
            args = repr([self.values[k:k + 2] for k in range(0, len(self.values), 2)])
        else:
            args = ", ".join(str(v) for v in self.values)
        extra = "".join(f", {n}={v!r}" for n, v in (("emissivity", self.emissivity),
                                                    ("reflected", self.reflected))
                        if v is not None)
        return f"Roi.{self.kind}({args}{extra})"


class RegionStats:
    """A region's statistics in deg C. Pixels without a temperature are left out
    and counted in ``missing``; without any temperature (``count`` 0) min, max,
    mean and std are NaN and hottest and coldest None. ``hottest`` and
    ``coldest`` are (x, y), the first in reading order; ``profile`` is a line's
    temperatures in its order (float32, -999.0 where there is none), None for
    other regions."""

    __slots__ = ("roi", "min", "max", "mean", "std", "count", "missing", "hottest", "coldest",
                 "profile", "_c")

    def __init__(self, roi: Roi, c: KalvexStats, profile: Optional[np.ndarray]) -> None:
        self.roi, self._c, self.profile = roi, c, profile
        self.count, self.missing = int(c.count), int(c.missing)
        empty = self.count == 0
        self.min, self.max, self.mean, self.std = (
            math.nan if empty else float(v) for v in (c.min, c.max, c.mean, c.std))
        self.hottest = None if empty else (int(c.hottestX), int(c.hottestY))
        self.coldest = None if empty else (int(c.coldestX), int(c.coldestY))

    def difference(self, other: "RegionStats", statistic: str = "mean") -> float:
        """This region's statistic minus ``other``'s (NaN when either has no temperature)."""
        if not isinstance(other, RegionStats):
            raise InvalidArgument(f"other must be RegionStats, not {type(other).__name__}")
        return float(_fn("KalvexMeasure_Difference")(ctypes.byref(self._c),
                                                     ctypes.byref(other._c),
                                                     _statistic(statistic)))

    def __repr__(self) -> str:
        return (f"<RegionStats {self.roi!r} min={self.min:.2f} max={self.max:.2f}"
                f" mean={self.mean:.2f} std={self.std:.3f} count={self.count}>")


def _statistic(name: Any) -> int:
    if not isinstance(name, str) or name not in STATISTICS:
        raise InvalidArgument(f"statistic must be one of {', '.join(STATISTICS)}, not {name!r}")
    return STATISTICS[name]


def _regions(rois: Any) -> Tuple[List[Roi], bool]:
    if isinstance(rois, Roi):
        return [rois], True
    try:
        items = list(rois)
    except TypeError:
        raise InvalidArgument(f"a kalvex.Roi or a list of them, not {rois!r}") from None
    if not items or not all(isinstance(r, Roi) for r in items):
        raise InvalidArgument("a kalvex.Roi or a non-empty list of them")
    return items, False


def measure_frame(core: "_Core", frame_id: int,
                  rois: Any) -> Union[RegionStats, List[RegionStats]]:
    """Statistics of regions of a frame of the ring, in one pass of the library."""
    items, single = _regions(rois)
    array = (KalvexRoi * len(items))(*(r._c for r in items))
    stats = (KalvexStats * len(items))()
    stats_fn, profile_fn = _fn("KalvexMeasure_Stats"), _fn("KalvexMeasure_Profile")
    profiles: Dict[int, np.ndarray] = {}
    with core.lock:
        core.check_open()
        core.flush()
        ok = stats_fn(core.handle, frame_id, array, len(items), stats) == 1
        for k, roi in enumerate(items):
            if not ok or roi.kind != "line":
                continue
            values = np.empty(_PROFILE_CAPACITY, np.float32)
            n = profile_fn(core.handle, frame_id, ctypes.byref(array[k]),
                           values.ctypes.data_as(_F), values.size)
            ok = n > 0
            profiles[k] = values[:n]
        if not ok:
            codes = core.pop_codes()
            error = _refused(core, frame_id, codes,
                             f"cannot measure {_describe(items)} in frame {frame_id}")
    if not ok:
        raise error
    results = [RegionStats(r, stats[k], profiles.get(k)) for k, r in enumerate(items)]
    return results[0] if single else results


def _describe(items: List[Roi]) -> str:
    what = ", ".join(repr(r) for r in items)
    return f"{what} (a region must lie wholly inside the {WIDTH} x {HEIGHT} frame" \
           " and be neither empty nor degenerate)"


def measure_temperatures(plain: Optional[np.ndarray], black_body: Optional[np.ndarray],
                         base: Optional[Scene], rois: Any
                         ) -> Union[RegionStats, List[RegionStats]]:
    """Statistics over temperature arrays (top line first): regions without a
    scene of their own over ``plain``, the others over ``black_body``,
    compensated with ``base`` at their own emissivity and reflected temperature."""
    items, single = _regions(rois)
    stats_fn, profile_fn = _fn("KalvexMeasure_StatsOf"), _fn("KalvexMeasure_ProfileOf")
    c_base = None if base is None else base._to_c()
    results = []
    for roi in items:
        own = roi.has_own_scene
        source = black_body if own else plain
        assert source is not None
        height, width = source.shape
        pointer = source.ctypes.data_as(_F)
        c = KalvexStats()
        scene = None if c_base is None else ctypes.byref(c_base)
        if stats_fn(pointer, width, height, scene, ctypes.byref(roi._c), 1, ctypes.byref(c)) != 1:
            raise InvalidArgument(f"cannot measure {_describe([roi])}", 5)
        profile = None
        if roi.kind == "line":
            # The profile export compensates from the default scene: give it the
            # bare line and compensate its values from the base scene here.
            values = np.empty(_PROFILE_CAPACITY, np.float32)
            line = roi._plain() if own else roi._c
            n = profile_fn(pointer, width, height, ctypes.byref(line), values.ctypes.data_as(_F),
                           values.size)
            profile = values[:n]
            if own:
                from .scene import compensate

                profile = compensate(profile, roi._scene(base or Scene.default()))
        results.append(RegionStats(roi, c, profile))
    return results[0] if single else results


def measure_sequence_frame(frame: "SequenceFrame", rois: Any,
                           scene: Optional[Scene]) -> Union[RegionStats, List[RegionStats]]:
    """A recorded frame's regions: as its temperatures() with ``scene`` (None:
    as recorded); a region with a scene of its own starts from that scene."""
    items, _single = _regions(rois)
    if scene is not None and not isinstance(scene, Scene):
        raise InvalidArgument(f"scene must be a kalvex.Scene or None, not {type(scene).__name__}")
    plain = black_body = None
    base = None
    if any(not r.has_own_scene for r in items):
        plain = frame.temperatures(scene)
    if any(r.has_own_scene for r in items):
        black_body = frame.temperatures(Scene.default())  # the default scene changes nothing
        base = scene if scene is not None else frame.info.scene
    return measure_temperatures(plain, black_body, base, rois)


# ---- alarms ------------------------------------------------------------------------------


class Alarm:
    """An alarm on a camera's region (``camera.alarms.add``); ``remove()`` ends it."""

    __slots__ = ("id", "roi", "statistic", "above", "threshold", "hysteresis", "dwell_ms",
                 "_alarms")

    def __init__(self, alarms: "Alarms", ident: int, roi: Roi, statistic: str, above: bool,
                 threshold: float, hysteresis: float, dwell_ms: int) -> None:
        self.id, self.roi, self.statistic, self.above = ident, roi, statistic, above
        self.threshold, self.hysteresis, self.dwell_ms = threshold, hysteresis, dwell_ms
        self._alarms = alarms

    @property
    def active(self) -> bool:
        """Whether the alarm is raised now."""
        return self._alarms._active(self)

    def remove(self) -> None:
        self._alarms.remove(self)

    def __repr__(self) -> str:
        side = "above" if self.above else "below"
        return (f"<kalvex.Alarm {self.id}: {self.statistic} of {self.roi!r} {side}"
                f" {self.threshold:g}, hysteresis {self.hysteresis:g}, dwell {self.dwell_ms} ms>")


class AlarmEvent(NamedTuple):
    """An alarm rose (``active`` True) or cleared (False) in frame ``frame_id``;
    ``value`` is the statistic there. ``time_ms`` is the library's millisecond
    clock at that frame, ``since_ms`` when the condition began to hold."""

    alarm: Alarm
    roi: Roi
    active: bool
    value: float
    frame_id: int
    time_ms: int
    since_ms: int


class Alarms:
    """A camera's alarms (``camera.alarms``): ``add``, ``remove``, ``clear``,
    iteration. Their rises and clears reach ``camera.on_alarm`` callbacks on the
    camera's dispatcher thread, whichever the delivery."""

    def __init__(self, core: "_Core") -> None:
        self._core = core
        self._alarms: Dict[int, Alarm] = {}
        self.callbacks: List[Callable[[AlarmEvent], Any]] = []
        self._event = KalvexAlarmEvent()

    def add(self, roi: Roi, statistic: str = "max", *, above: Any = None, below: Any = None,
            hysteresis: Any = 0.0, dwell_ms: Any = 0) -> Alarm:
        """Watches ``statistic`` ("min", "max", "mean" or "std") of ``roi`` in every
        frame the capture publishes: it rises once the value has stayed beyond
        ``above`` (or ``below``) for ``dwell_ms``, and clears once it is back past
        the threshold by more than ``hysteresis``."""
        if not isinstance(roi, Roi):
            raise InvalidArgument(f"an alarm needs a kalvex.Roi, not {roi!r}")
        stat = _statistic(statistic)
        if (above is None) == (below is None):
            raise InvalidArgument("an alarm needs exactly one of above= and below=")
        threshold = _number(above if above is not None else below, "alarm threshold")
        h = _number(hysteresis, "hysteresis")
        if h < 0:
            raise InvalidArgument(f"hysteresis must be >= 0, not {hysteresis}")
        dwell = _int32(dwell_ms, "dwell_ms")
        if dwell < 0:
            raise InvalidArgument(f"dwell_ms must be >= 0, not {dwell_ms}")
        c = KalvexAlarm(stat, 1 if above is not None else 0, threshold, h, dwell)
        add = _fn("KalvexMeasure_AddAlarm")
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            ident = int(add(core.handle, ctypes.byref(roi._c), ctypes.byref(c)))
            if ident > 0:
                alarm = Alarm(self, ident, roi, statistic, above is not None, threshold, h, dwell)
                self._alarms[ident] = alarm
                return alarm
            codes = core.pop_codes()
        if codes and codes[0] == EventCode.NO_MEMORY:
            raise error_for(f"cannot add an alarm: {MAX_ALARMS} are defined already", codes)
        raise error_for(f"cannot watch {_describe([roi])}", codes, InvalidArgument)

    def remove(self, alarm: Alarm) -> None:
        """Ends an alarm; its events still waiting are not delivered."""
        if not isinstance(alarm, Alarm) or self._alarms.get(alarm.id) is not alarm:
            raise InvalidArgument(f"not an alarm of this camera: {alarm!r}")
        self._call_remove(alarm.id)
        del self._alarms[alarm.id]

    def clear(self) -> None:
        """Ends every alarm."""
        self._call_remove(0)
        self._alarms.clear()

    def _call_remove(self, ident: int) -> None:
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            if _fn("KalvexMeasure_RemoveAlarm")(core.handle, ident):
                return
            codes = core.pop_codes()
        raise error_for(f"cannot remove alarm {ident}", codes, InvalidArgument)

    def _active(self, alarm: Alarm) -> bool:
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            if self._alarms.get(alarm.id) is not alarm:
                raise InvalidArgument(f"{alarm!r} has been removed")
            return _fn("KalvexMeasure_AlarmActive")(core.handle, alarm.id) == 1

    def __iter__(self) -> Iterator[Alarm]:
        return iter(list(self._alarms.values()))

    def __len__(self) -> int:
        return len(self._alarms)

    def __contains__(self, alarm: Any) -> bool:
        return isinstance(alarm, Alarm) and self._alarms.get(alarm.id) is alarm

    # ---- the dispatcher's side -----------------------------------------------------------

    def take(self) -> List[AlarmEvent]:
        """The waiting events, oldest first (the camera's lock held)."""
        core = self._core
        if core.closed or not core.handle:
            return []
        poll = _fn("KalvexMeasure_PollAlarm")
        event, taken = self._event, []
        for _ in range(_MAX_WAITING):
            if poll(core.handle, ctypes.byref(event)) != 1:
                break
            alarm = self._alarms.get(int(event.alarm))
            if alarm is None:
                continue  # removed meanwhile
            taken.append(AlarmEvent(alarm, alarm.roi, bool(event.active), float(event.value),
                                    int(event.frameId), int(event.timeMs), int(event.sinceMs)))
        return taken

    def pump(self) -> None:
        """On the window thread, for each alarm message: takes and delivers the
        waiting events. Never blocks on the lock for good: close() may run in a
        thread that holds it and then waits for this one."""
        core = self._core
        while not core.lock.acquire(timeout=0.05):
            if core.stop.is_set() or core.closed:
                return
        try:
            events = self.take()
        finally:
            core.lock.release()
        self.deliver(events)

    def deliver(self, events: List[AlarmEvent]) -> None:
        for event in events:
            for callback in list(self.callbacks):
                try:
                    callback(event)
                except Exception:
                    log.exception("kalvex: the alarm callback %r raised", callback)


def alarms_of(core: "_Core") -> Alarms:
    """The camera's alarms, made on first use."""
    with core.lock:
        if core.closed:
            raise CameraClosed("the camera is closed")
        if core.alarm_hub is None:
            core.alarm_hub = Alarms(core)
        return core.alarm_hub
