"""Scene compensation: emissivity, reflected temperature and the atmosphere.

The functions come from ``kalvex_scene.h``; with a library that lacks them,
every call here raises :class:`NotSupported`.
"""

from __future__ import annotations

import ctypes
import math
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from . import _library
from ._library import HEIGHT, WIDTH
from .errors import InvalidArgument, error_for

if TYPE_CHECKING:
    from .camera import _Core


class KalvexScene(ctypes.Structure):
    """``KalvexScene`` as the C library lays it out."""

    _fields_ = [(name, ctypes.c_float) for name in (
        "emissivity", "reflected", "transmission", "atmosphere", "distance", "humidity",
        "bandLow", "bandHigh")]


_P = ctypes.POINTER
_F = ctypes.POINTER(ctypes.c_float)


def _fn(name: str) -> Any:
    signatures: Dict[str, Tuple[Any, List[Any]]] = {
        "KalvexScene_Default": (None, [_P(KalvexScene)]),
        "KalvexScene_Set": (ctypes.c_int32, [ctypes.c_int32, _P(KalvexScene)]),
        "KalvexScene_Get": (ctypes.c_int32, [ctypes.c_int32, _P(KalvexScene)]),
        "KalvexScene_SetEmissivityMap": (ctypes.c_int32, [ctypes.c_int32, _F, ctypes.c_int32]),
        "KalvexScene_Compensate": (ctypes.c_int32,
                                   [_P(KalvexScene), _F, _F, _F, ctypes.c_int32]),
        "KalvexScene_Transmission": (ctypes.c_float, [_P(KalvexScene)]),
    }
    restype, argtypes = signatures[name]
    return _library.optional(name, restype, argtypes)


@dataclass
class Scene:
    """What lies between the object and the camera, for compensated temperatures.

    emissivity (0.01-1), reflected apparent temperature (deg C), transmission of
    the path (0-1; ignored when distance > 0), atmosphere temperature (deg C),
    distance (m; > 0 computes the transmission from distance, humidity and the
    atmosphere temperature), relative humidity (0-1), and the band in micrometres.
    """

    emissivity: float = 1.0
    reflected: float = 22.0
    transmission: float = 1.0
    atmosphere: float = 22.0
    distance: float = 0.0
    humidity: float = 0.5
    band_low: float = 8.0
    band_high: float = 14.0

    def _to_c(self) -> KalvexScene:
        values = []
        for f in fields(self):
            value = float(getattr(self, f.name))
            if math.isnan(value):
                raise InvalidArgument(f"scene {f.name} is NaN")
            values.append(value)
        return KalvexScene(*values)

    @classmethod
    def _from_c(cls, c: KalvexScene) -> "Scene":
        return cls(c.emissivity, c.reflected, c.transmission, c.atmosphere, c.distance,
                   c.humidity, c.bandLow, c.bandHigh)

    @classmethod
    def default(cls) -> "Scene":
        """The library's default scene."""
        c = KalvexScene()
        _fn("KalvexScene_Default")(ctypes.byref(c))
        return cls._from_c(c)

    @property
    def effective_transmission(self) -> float:
        """The transmission in effect: given, or computed from distance and humidity."""
        value = float(_fn("KalvexScene_Transmission")(ctypes.byref(self._to_c())))
        if value < 0:
            raise InvalidArgument(f"invalid scene: {self}")
        return value


def _float_pointer(array: np.ndarray) -> Any:
    return array.ctypes.data_as(_F)


def _emissivities(value: Any, count: int, shape: Any) -> np.ndarray:
    array = np.ascontiguousarray(value, dtype=np.float32)
    if array.size != count or (shape is not None and array.shape != shape):
        raise InvalidArgument(
            f"emissivity must have {count} values{'' if shape is None else f' in shape {shape}'},"
            f" not shape {np.shape(value)}")
    return array


def compensate(temperatures: Any, scene: Scene, emissivity: Any = None) -> np.ndarray:
    """Compensates black-body temperatures (deg C, any shape) for ``scene``.

    ``emissivity`` (same shape, optional) gives per-pixel emissivities instead of
    the scene's. Returns a new float32 array; -999.0 (no temperature) stays."""
    if not isinstance(scene, Scene):
        raise InvalidArgument(f"scene must be a kalvex.Scene, not {type(scene).__name__}")
    source = np.ascontiguousarray(temperatures, dtype=np.float32)
    if source.size > 2 ** 31 - 1:
        raise InvalidArgument("too many temperatures for one call")
    map_ = None if emissivity is None else _emissivities(emissivity, source.size, source.shape)
    function = _fn("KalvexScene_Compensate")
    out = np.empty_like(source)
    c = scene._to_c()
    ok = function(ctypes.byref(c), None if map_ is None else _float_pointer(map_),
                  _float_pointer(source), _float_pointer(out), source.size)
    if not ok:
        raise InvalidArgument(f"the library refused the scene {scene}", 5)
    return out


def get_scene(core: "_Core") -> Scene:
    function = _fn("KalvexScene_Get")
    c = KalvexScene()
    with core.lock:
        core.check_open()
        core.flush()
        if function(core.handle, ctypes.byref(c)):
            return Scene._from_c(c)
        codes = core.pop_codes()
    raise error_for("cannot read the scene", codes)


def set_scene(core: "_Core", scene: Optional[Scene]) -> None:
    if scene is not None and not isinstance(scene, Scene):
        raise InvalidArgument(f"scene must be a kalvex.Scene or None, not {type(scene).__name__}")
    function = _fn("KalvexScene_Set")
    c = None if scene is None else scene._to_c()
    with core.lock:
        core.check_open()
        core.flush()
        if function(core.handle, None if c is None else ctypes.byref(c)):
            return
        codes = core.pop_codes()
    raise error_for(f"the library refused the scene {scene}", codes, InvalidArgument)


def set_emissivity_map(core: "_Core", value: Any) -> None:
    function = _fn("KalvexScene_SetEmissivityMap")
    array = None if value is None else _emissivities(value, WIDTH * HEIGHT, (HEIGHT, WIDTH))
    with core.lock:
        core.check_open()
        core.flush()
        pointer = None if array is None else _float_pointer(array)
        if function(core.handle, pointer, WIDTH * HEIGHT):
            stored = None if array is None else array.copy()
            if stored is not None:
                stored.flags.writeable = False
            core.emissivity_map = stored  # type: ignore[attr-defined]
            return
        codes = core.pop_codes()
    raise error_for("the library refused the emissivity map", codes, InvalidArgument)
