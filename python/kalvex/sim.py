"""The simulated camera (``libkalvex_sim``): a camera without hardware.

Plug a simulated camera *before* opening a :class:`kalvex.Camera` (the library
looks for cameras when an instance is created)::

    import kalvex, kalvex.sim
    cam = kalvex.sim.plug(0, background=22.0)
    cam.add_spot(320, 240, 40, 37.0)       # or cam.demo_scene(), cam.load_scene(path)
    kalvex.sim.write_table("table.bin")
    with kalvex.Camera() as camera:
        camera.load_table("table.bin")
        ...

The simulator library is found through ``KALVEX_SIM_LIBRARY`` (a file), beside
the loaded ``libkalvex`` (also in a ``sim/`` folder there, as in a build tree),
inside the package, or by the system loader. Every C function of
``kalvex_sim.h`` is also reachable by name: ``kalvex.sim.call("KalvexSim_Plug", 0)``.
"""

from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _library
from .errors import InvalidArgument, KalvexError, NotSupported

CAMERAS = 8
MAX_SPOTS = 16
GAIN = 40.0
T0 = 22.0
R0 = 8000.0
UNTIL_CLEARED = -1
WIDTH = 640
HEIGHT = 480
#: A 16-bit PNG scene's default: hundredths of a kelvin.
PNG_SCALE = 0.01
PNG_OFFSET = -273.15
#: The temporal noise the demo scene sets (+-3 raw: 50 mK rms).
DEMO_NOISE = 3

#: Faults by name (``KALVEX_SIM_FAULT_*``).
FAULTS: Dict[str, int] = {
    "open": 1, "command-fail": 2, "command-short": 3, "reply-fail": 4, "reply-short": 5,
    "frame-fail": 6, "frame-short": 7, "frame-stall": 8,
}


class KalvexSimCounters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_long) for name in (
        "opens", "openHandles", "commands", "startFrames", "replies", "nucCommands",
        "frameRequests", "framesServed")]


class KalvexSimReplayState(ctypes.Structure):
    _fields_ = [("active", ctypes.c_int), ("frames", ctypes.c_int), ("next", ctypes.c_int),
                ("served", ctypes.c_long), ("loops", ctypes.c_int), ("finished", ctypes.c_int)]


class ReplayState(NamedTuple):
    """Where a replay stands: ``next`` is the index of the frame served next."""
    active: bool
    frames: int
    next: int
    served: int
    loops: int
    finished: bool


class Counters(NamedTuple):
    opens: int
    open_handles: int
    commands: int
    start_frames: int
    replies: int
    nuc_commands: int
    frame_requests: int
    frames_served: int


_i, _d, _u = ctypes.c_int, ctypes.c_double, ctypes.c_uint

# One line per C function: adding one to kalvex_sim.h means adding one here.
FUNCTIONS: Sequence[Tuple[str, Any, List[Any]]] = (
    ("KalvexSim_Reset", None, []),
    ("KalvexSim_Plug", _i, [_i]),
    ("KalvexSim_Unplug", _i, [_i]),
    ("KalvexSim_IsPlugged", _i, [_i]),
    ("KalvexSim_SetFrameRate", _i, [_i, _d]),
    ("KalvexSim_SetTestPattern", _i, [_i, _i]),
    ("KalvexSim_SetBackground", _i, [_i, _d]),
    ("KalvexSim_AddSpot", _i, [_i, _i, _i, _i, _d]),
    ("KalvexSim_ClearSpots", _i, [_i]),
    ("KalvexSim_SetTemporalNoise", _i, [_i, _i, _u]),
    ("KalvexSim_SetFixedPatternNoise", _i, [_i, _i, _u]),
    ("KalvexSim_SetInternalTemperature", _i, [_i, _d]),
    ("KalvexSim_SetInternalTemperatureRaw", _i, [_i, _i]),
    ("KalvexSim_GetInternalTemperature", _d, [_i]),
    ("KalvexSim_GetInternalTemperatureRaw", _i, [_i]),
    ("KalvexSim_SetInternalTemperatureDrift", _i, [_i, _d]),
    ("KalvexSim_SetDriftModel", _i, [_d, _d, _d]),
    ("KalvexSim_RawForTemperature", _i, [_i, _d]),
    ("KalvexSim_TemperatureForRaw", _d, [_i]),
    ("KalvexSim_SetTriggerLevel", _i, [_i, _i]),
    ("KalvexSim_ScheduleTriggerPulse", _i, [_i, _i, _i]),
    ("KalvexSim_InjectFault", _i, [_i, _i, _i]),
    ("KalvexSim_ClearFaults", _i, [_i]),
    ("KalvexSim_ReleaseStalls", _i, [_i]),
    ("KalvexSim_WaitStalled", _i, [_i, _i, _i]),
    ("KalvexSim_ReadRegister", _i, [_i, _i]),
    ("KalvexSim_WriteRegister", _i, [_i, _i, _i]),
    ("KalvexSim_ReadCoreValue", _i, [_i, _i]),
    ("KalvexSim_GetCounters", _i, [_i, ctypes.POINTER(KalvexSimCounters)]),
    ("KalvexSim_GetCommandLog", _i, [_i, ctypes.c_void_p, _i]),
    ("KalvexSim_ClearCommandLog", _i, [_i]),
    ("KalvexSim_WriteTable", _i, [ctypes.c_char_p, _i, _i, _d, _d]),
    ("KalvexSim_ReplayA", _i, [_i, ctypes.c_char_p, _d, _i]),
    ("KalvexSim_ReplayW", _i, [_i, ctypes.c_wchar_p, _d, _i]),
    ("KalvexSim_ReplayStep", _i, [_i, _i]),
    ("KalvexSim_ReplaySeek", _i, [_i, _i]),
    ("KalvexSim_StopReplay", _i, [_i]),
    ("KalvexSim_GetReplayState", _i, [_i, ctypes.POINTER(KalvexSimReplayState)]),
    ("KalvexSim_SetSceneImage", _i, [_i, ctypes.c_void_p, ctypes.c_void_p]),
    ("KalvexSim_LoadSceneImageA", _i, [_i, ctypes.c_char_p, _d, _d]),
    ("KalvexSim_SetDemoScene", _i, [_i]),
    ("KalvexSim_DemoSceneImage", _i, [ctypes.c_void_p]),
)

_lock = threading.Lock()
_sim: Optional[ctypes.CDLL] = None


def _sim_names() -> List[str]:
    if os.name == "nt":
        return ["kalvex_sim.dll"]
    return ["libkalvex_sim.so.1", "libkalvex_sim.so"]


def library() -> ctypes.CDLL:
    """The simulator library, loaded (after libkalvex) on first use."""
    global _sim
    if _sim is not None:
        return _sim
    with _lock:
        if _sim is not None:
            return _sim
        main = _library.lib()  # first, so that the simulator binds to this very library
        explicit = os.environ.get("KALVEX_SIM_LIBRARY")
        places: List[str] = []
        if explicit:
            places.append(explicit)
        else:
            beside = Path(getattr(main, "_kalvex_path", "")).parent
            here = Path(__file__).resolve().parent / "lib"
            for folder in (beside, beside / "sim", here):
                places += [str(folder / n) for n in _sim_names() if (folder / n).is_file()]
            places += _sim_names()
        tried = []
        for place in places:
            try:
                loaded = ctypes.CDLL(place)
            except OSError as error:
                tried.append(f"{place}: {error}")
                continue
            _library.declare(loaded, FUNCTIONS, required=False)
            _sim = loaded
            return loaded
        raise NotSupported("the simulated camera's library could not be loaded; tried:\n  "
                           + "\n  ".join(tried or ["(nothing)"])
                           + "\nSet KALVEX_SIM_LIBRARY to libkalvex_sim.so.", 10)


def call(name: str, *args: Any) -> Any:
    """Calls a function of ``kalvex_sim.h`` by its C name (declared ones are typed)."""
    sim = library()
    try:
        function = getattr(sim, name)
    except AttributeError:
        raise NotSupported(f"this simulator has no {name}", 10) from None
    # Functions not in FUNCTIONS (newer simulators) run with ctypes' defaults:
    # an int result, arguments converted as given (wrap floats in ctypes.c_double).
    return function(*args)


def _ok(result: int, what: str) -> None:
    if result != 1:
        raise InvalidArgument(f"the simulator refused: {what}", 5)


def _camera_number(camera: int) -> int:
    if isinstance(camera, bool) or not isinstance(camera, int) or not 0 <= camera < CAMERAS:
        raise InvalidArgument(f"simulated camera number must be 0-7, not {camera!r}", 5)
    return camera


def reset() -> None:
    """Unplugs every simulated camera and restores every default."""
    call("KalvexSim_Reset")


def plug(camera: int = 0, *, background: Optional[float] = None,
         frame_rate: Optional[float] = None, noise: Optional[int] = None,
         internal_temperature: Optional[float] = None) -> "SimCamera":
    """Plugs simulated camera ``camera`` (a power-on) and applies the given settings."""
    sim = SimCamera(camera)
    _ok(call("KalvexSim_Plug", sim.number), f"plug camera {camera}")
    if background is not None:
        sim.background = background
    if frame_rate is not None:
        sim.frame_rate = frame_rate
    if noise is not None:
        sim.set_temporal_noise(noise)
    if internal_temperature is not None:
        sim.internal_temperature = internal_temperature
    return sim


def unplug(camera: int = 0) -> None:
    """Unplugs a simulated camera: its transfers fail from now on."""
    call("KalvexSim_Unplug", _camera_number(camera))


def write_table(path: Any, layout: int = 4, count: int = 64, min_celsius: float = -20.0,
                max_celsius: float = 150.0) -> None:
    """Writes a calibration table that matches the simulated cameras' sensor model
    (so that a 37.0 deg C spot reads 37.0 deg C through it)."""
    text = os.fsencode(os.fspath(path))
    if not 0 <= layout <= 4:
        raise InvalidArgument(f"table layout must be 0-4, not {layout}", 5)
    if call("KalvexSim_WriteTable", text, int(layout), int(count), float(min_celsius),
            float(max_celsius)) != 1:
        raise KalvexError(f"the simulator could not write the table {os.fsdecode(text)!r}"
                          " (bad arguments or an unwritable path)")


def replay(camera: int, path: Any, *, rate: float = 0.0, loop: bool = False) -> "SimCamera":
    """Simulated camera ``camera`` serves the frames of a recorded sequence
    (``camera.record(path, "seq")``) instead of its scene: at the recorded pace
    (or ``rate`` frames per second), once or over and over with ``loop``. Its
    internal temperature follows the recorded one. Call it before opening the
    :class:`kalvex.Camera`; load the recording's own table
    (``kalvex.open_sequence(path).table``) for the temperatures recorded.
    Plugs the camera if it is not plugged."""
    sim = SimCamera(camera)
    if not sim.plugged:
        sim.plug()
    sim.replay(path, rate=rate, loop=loop)
    return sim


def demo_scene_image() -> np.ndarray:
    """The built-in demo scene's temperatures, deg C, shape (480, 640), row 0 the top
    (the layout is listed in ``kalvex_sim.h`` at ``KalvexSim_SetDemoScene``)."""
    out = np.empty((HEIGHT, WIDTH), np.float32)
    if call("KalvexSim_DemoSceneImage", out.ctypes.data) != 1:
        raise KalvexError("the simulator could not draw its demo scene")
    return out


def _scene_array(values: Any, what: str) -> np.ndarray:
    array = np.ascontiguousarray(values, dtype=np.float32)
    if array.shape != (HEIGHT, WIDTH):
        raise InvalidArgument(f"{what} must have shape ({HEIGHT}, {WIDTH}), not {array.shape}", 5)
    return array


def set_drift_model(slope: float, intercept: float, calibration_celsius: float) -> None:
    """The drift model shared by all simulated cameras and the table writer."""
    _ok(call("KalvexSim_SetDriftModel", float(slope), float(intercept),
             float(calibration_celsius)), "drift model")


def temperature_for_raw(raw: int) -> float:
    """The calibration line: (raw - 8000) / 40 + 22."""
    return float(call("KalvexSim_TemperatureForRaw", int(raw)))


class SimCamera:
    """Controls of one simulated camera (0-7); settings survive unplug and plug."""

    def __init__(self, number: int) -> None:
        self.number = _camera_number(number)

    def __repr__(self) -> str:
        return f"<kalvex.sim.SimCamera {self.number}>"

    def _do(self, name: str, *args: Any) -> None:
        _ok(call(name, self.number, *args), f"{name}{(self.number,) + args}")

    # plugging
    def plug(self) -> None:
        self._do("KalvexSim_Plug")

    def unplug(self) -> None:
        self._do("KalvexSim_Unplug")

    @property
    def plugged(self) -> bool:
        return call("KalvexSim_IsPlugged", self.number) == 1

    # frames and scene
    @property
    def frame_rate(self) -> float:
        raise AttributeError("the simulator does not report its frame rate")

    @frame_rate.setter
    def frame_rate(self, hz: float) -> None:
        """Frames per second; 0 serves every request at once."""
        if not float(hz) >= 0:
            raise InvalidArgument(f"frame rate must be >= 0, not {hz}", 5)
        self._do("KalvexSim_SetFrameRate", float(hz))

    def set_test_pattern(self, on: bool = True) -> None:
        self._do("KalvexSim_SetTestPattern", 1 if on else 0)

    @property
    def background(self) -> float:
        raise AttributeError("the simulator does not report its background")

    @background.setter
    def background(self, celsius: float) -> None:
        self._do("KalvexSim_SetBackground", float(celsius))

    def add_spot(self, x: int, y: int, radius: int, celsius: float) -> int:
        """A disc at (x, y) sensor coordinates; returns its index."""
        index = call("KalvexSim_AddSpot", self.number, int(x), int(y), int(radius),
                     float(celsius))
        if index < 0:
            raise InvalidArgument(f"spot refused (radius < 0 or {MAX_SPOTS} spots already)", 5)
        return int(index)

    def clear_spots(self) -> None:
        self._do("KalvexSim_ClearSpots")

    def replay(self, path: Any, *, rate: float = 0.0, loop: bool = False) -> None:
        """Serves a recorded sequence instead of the scene (see :func:`replay`)."""
        if not float(rate) >= 0 or float(rate) == float("inf"):
            raise InvalidArgument(f"replay rate must be >= 0 frames per second, not {rate}", 5)
        name = os.fspath(path)
        result = (call("KalvexSim_ReplayW", self.number, name, float(rate), 1 if loop else 0)
                  if os.name == "nt" else
                  call("KalvexSim_ReplayA", self.number, os.fsencode(name), float(rate),
                       1 if loop else 0))
        if result < 0:
            from .sequence import _check  # the reader's refusals, with their messages
            _check(result, f"cannot replay {name!r}")
        _ok(result, f"replay {name!r}")

    def stop_replay(self) -> None:
        """Back to the synthetic scene."""
        self._do("KalvexSim_StopReplay")

    @property
    def replay_state(self) -> ReplayState:
        c = KalvexSimReplayState()
        self._do("KalvexSim_GetReplayState", ctypes.byref(c))
        return ReplayState(bool(c.active), int(c.frames), int(c.next), int(c.served),
                           int(c.loops), bool(c.finished))

    def set_scene_image(self, celsius: Any, emissivity: Any = None) -> None:
        """The scene as a temperature image: deg C per pixel, shape (480, 640), row 0
        the top of the scene; ``emissivity`` per pixel (0 < e <= 1) or None for 1.
        Spots still draw over it; setting ``background`` returns to the flat scene."""
        image = _scene_array(celsius, "the scene image")
        e = None if emissivity is None else _scene_array(emissivity, "the emissivity")
        if call("KalvexSim_SetSceneImage", self.number, image.ctypes.data,
                None if e is None else e.ctypes.data) != 1:
            raise InvalidArgument("scene image refused: temperatures must be finite and within"
                                  " -273.15..5000 deg C, emissivities within 0 < e <= 1", 5)

    def load_scene(self, path: Any, scale: float = PNG_SCALE, offset: float = PNG_OFFSET) -> None:
        """The scene from a file: a 640 x 480 16-bit greyscale PNG (sample v is
        ``offset + v * scale`` deg C; by default hundredths of a kelvin) or the first
        frame of a temp-f32 file (float32 per pixel, top row first)."""
        text = os.fsencode(os.fspath(path))
        if call("KalvexSim_LoadSceneImageA", self.number, text, float(scale),
                float(offset)) != 1:
            raise InvalidArgument(
                f"scene file {os.fsdecode(text)!r} refused: not a 640 x 480 16-bit greyscale PNG"
                " nor a temp-f32 file of whole frames, unreadable, or temperatures out of range",
                5)

    def demo_scene(self) -> None:
        """The built-in demo scene (a person at a desk with a hot mug, a radiator under
        a cold window), with the temporal noise of an uncooled sensor (``DEMO_NOISE``;
        ``set_temporal_noise`` afterwards for another)."""
        self._do("KalvexSim_SetDemoScene")

    def set_temporal_noise(self, amplitude: int, seed: int = 1) -> None:
        self._do("KalvexSim_SetTemporalNoise", int(amplitude), int(seed))

    def set_fixed_pattern_noise(self, amplitude: int, seed: int = 1) -> None:
        """Per-pixel offsets that a NUC removes."""
        self._do("KalvexSim_SetFixedPatternNoise", int(amplitude), int(seed))

    # internal temperature and drift
    @property
    def internal_temperature(self) -> float:
        return float(call("KalvexSim_GetInternalTemperature", self.number))

    @internal_temperature.setter
    def internal_temperature(self, celsius: float) -> None:
        self._do("KalvexSim_SetInternalTemperature", float(celsius))

    @property
    def internal_temperature_raw(self) -> int:
        return int(call("KalvexSim_GetInternalTemperatureRaw", self.number))

    @internal_temperature_raw.setter
    def internal_temperature_raw(self, core_value: int) -> None:
        self._do("KalvexSim_SetInternalTemperatureRaw", int(core_value))

    def set_drift(self, celsius_per_frame: float) -> None:
        """Degrees added to the internal temperature after each frame served."""
        self._do("KalvexSim_SetInternalTemperatureDrift", float(celsius_per_frame))

    def raw_for_temperature(self, celsius: float) -> int:
        return int(call("KalvexSim_RawForTemperature", self.number, float(celsius)))

    # trigger input
    def set_trigger_level(self, high: bool) -> None:
        self._do("KalvexSim_SetTriggerLevel", 1 if high else 0)

    def schedule_trigger_pulse(self, after_reads: int = 0, high_reads: int = 1) -> None:
        """A pulse on the trigger input after ``after_reads`` reads of register 7."""
        self._do("KalvexSim_ScheduleTriggerPulse", int(after_reads), int(high_reads))

    # faults
    def inject_fault(self, fault: Any, times: int = 1) -> None:
        """Arms a fault (a name of ``FAULTS`` or its number) for ``times``
        occurrences, or until cleared with ``times=kalvex.sim.UNTIL_CLEARED``."""
        number = FAULTS.get(fault) if isinstance(fault, str) else fault
        if not isinstance(number, int) or number not in FAULTS.values():
            raise InvalidArgument(f"unknown fault {fault!r}: one of {', '.join(FAULTS)}", 5)
        self._do("KalvexSim_InjectFault", number, int(times))

    def clear_faults(self) -> None:
        self._do("KalvexSim_ClearFaults")

    def release_stalls(self) -> None:
        self._do("KalvexSim_ReleaseStalls")

    def wait_stalled(self, count: int = 1, timeout: float = 5.0) -> bool:
        return call("KalvexSim_WaitStalled", self.number, int(count), int(timeout * 1000)) == 1

    # read-back
    def read_register(self, register: int) -> int:
        return int(call("KalvexSim_ReadRegister", self.number, int(register)))

    def write_register(self, register: int, value: int) -> None:
        self._do("KalvexSim_WriteRegister", int(register), int(value))

    def read_core_value(self, item: int) -> int:
        return int(call("KalvexSim_ReadCoreValue", self.number, int(item)))

    @property
    def counters(self) -> Counters:
        c = KalvexSimCounters()
        self._do("KalvexSim_GetCounters", ctypes.byref(c))
        return Counters(*(int(getattr(c, name)) for name, _ in KalvexSimCounters._fields_))

    def command_log(self) -> List[bytes]:
        """The last command blocks executed, oldest first, 64 bytes each."""
        buffer = ctypes.create_string_buffer(64 * 64)
        n = call("KalvexSim_GetCommandLog", self.number, buffer, 64)
        if n < 0:
            raise InvalidArgument("command log refused", 5)
        return [buffer.raw[i * 64:(i + 1) * 64] for i in range(n)]

    def clear_command_log(self) -> None:
        self._do("KalvexSim_ClearCommandLog")
