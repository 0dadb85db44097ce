"""Cameras, frames and their delivery."""

from __future__ import annotations

import collections
import ctypes
import errno
import logging
import os
import threading
import time
import weakref
from datetime import datetime
from typing import (Any, Callable, Deque, Dict, Iterator, List, NamedTuple, Optional, Tuple,
                    Union)

import numpy as np

from . import _library
from . import measure as _measure
from .measure import WM_ALARM
from .sequence import FrameInfo, KalvexFrameInfo
from ._library import HEIGHT, RING_LENGTH, WIDTH, WM_EVENT, WM_FRAME, KalvexMessage, check_array
from .errors import (AcquisitionFailed, CameraClosed, CameraNotAvailable, CaptureEnded,
                     CommunicationFailed, EventCode, FileError, FrameExpired, InvalidArgument,
                     KalvexError, NotSupported, OutOfMemory, Timeout, TriggerTimeout, error_for,
                     MEANINGS)

log = logging.getLogger("kalvex")

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: Save types by the names the ``kalvex`` tool uses.
SAVE_TYPES: Dict[str, int] = {
    "bmp": 0, "raw": 1, "jpeg100": 2, "jpeg70": 3, "jpeg20": 4, "png": 5, "tiff": 6,
    "raw16": 7, "png16": 8, "tiff16": 9, "temp-s8": 10, "temp-u8": 11, "temp-i32": 12,
    "temp-f32": 13,
}
#: Recording kinds.
RECORD_KINDS: Dict[str, int] = {"raw": 1, "avi": 2, "temp": 3}
# Radiometric sequences (KalvexSeq_RecordW), beside the library's kinds: the
# number is KalvexSeq_RecordW's options plus this offset.
_SEQUENCE_KINDS: Dict[str, int] = {"seq": 100, "seq-none": 101}

_PARAM_WIDTH, _PARAM_HEIGHT, _PARAM_FRAME_RATE, _PARAM_RECORD_KIND = 1, 2, 3, 4
_PARAM_PREVIEWING, _PARAM_PAUSE, _PARAM_RECORDING, _PARAM_RING_LENGTH = 5, 6, 7, 8
_PARAM_FRAME_INTERVAL, _PARAM_NUC_HOLD, _PARAM_SPLIT_LIMIT, _PARAM_AUTO_RANGE = 9, 10, 11, 12
_PARAM_RANGE_LOW, _PARAM_RANGE_HIGH, _PARAM_AUTO_NUC = 13, 14, 15
_PARAM_ROW_ORDER, _PARAM_OUTPUT_ROW_ORDER = 17, 18
_REGISTER_BASE = 256  # ids 256 + n reach register n, also for n in 1..18
_TRIGGER_WAIT_S = 3.0  # how long the library waits for the trigger edge

_RAW_BYTES = WIDTH * HEIGHT * 2
_COLOR_BYTES = WIDTH * HEIGHT * 3
_TEMPERATURE_BYTES = WIDTH * HEIGHT * 4
_MAX_CODES = 1000
_INT32_MIN, _INT32_MAX = -(2 ** 31), 2 ** 31 - 1


def _int32(value: int) -> int:
    return ((int(value) + 2 ** 31) % 2 ** 32) - 2 ** 31


def _text_path(path: PathLike) -> str:
    try:
        text = os.fsdecode(os.fspath(path))
    except TypeError:
        raise InvalidArgument(f"not a path: {path!r}") from None
    if not text or "\0" in text:
        raise InvalidArgument(f"not a usable file name: {text!r}")
    return text


def _seconds(timeout: Optional[float], what: str = "timeout") -> Optional[float]:
    if timeout is None:
        return None
    timeout = float(timeout)
    if not timeout >= 0:
        raise InvalidArgument(f"{what} must be >= 0 seconds or None, not {timeout}")
    return timeout


class CameraInfo(NamedTuple):
    """A camera found by :func:`list_cameras`."""

    number: int
    name: str
    internal_temperature: Optional[float]  # degrees Celsius; None when unreadable


class CaptureStats(NamedTuple):
    """What the frames of a capture run say (:attr:`Camera.stats`), read from each
    frame's metadata as it is announced. The counts never go down during a run;
    :meth:`Camera.start` begins a new one."""

    frames: int  #: frames announced
    #: frames per second from the frames' own times, leaving out NUC holds and
    #: pauses; None before two frames (``params.frame_rate`` is the library's
    #: figure, which spans them)
    fps: Optional[float]
    #: sent by the camera but never taken by the library, or gone from the ring
    #: before the dispatcher read them
    lost: int
    held: int  #: taken but held back by the hold after a NUC (``params.nuc_hold_ms``)
    paused: int  #: sent by the camera while capture was paused
    dropped: int  #: lost + held + paused


class _FrameCounts:
    """The counting of the tool and its viewer (tools/common/frame_counts.cpp),
    over the metadata of the frames the dispatcher announces. For each frame read,
    against the one before (or the start of the run): frames the library took that
    were not read are held when a NUC lies between the two (the newer frame's
    framesSinceNuc below the step in sequence numbers), else lost; frames the
    camera sent that the library did not take (its counter's gap beyond the
    sequence step) are paused across a pause, else lost."""

    _NO_NUC = 0xFFFFFFFF
    _MASK = 0xFFFFFFFF

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.reset()

    def reset(self) -> None:
        with self._lock:
            self._announced = 0
            self._have_previous = False
            self._sequence = self._camera = self._ns = 0
            self._overwritten_since_read = 0
            self._resumed_after_ns: Optional[int] = None
            self._lost = self._held = self._paused = self._overwritten = 0
            self._span_frames = self._span_ns = 0

    def announced(self) -> None:
        with self._lock:
            self._announced += 1

    def overwritten(self) -> None:
        """A frame announced whose slot the ring reused before it was read."""
        with self._lock:
            self._overwritten += 1
            self._overwritten_since_read += 1

    def resuming(self, newest_ns: int) -> None:
        """Capture resumes after a pause; newest_ns is the transfer time of the newest
        frame the library holds (0 for none): the camera's frames up to the first
        frame taken after it are the pause's."""
        with self._lock:
            self._resumed_after_ns = newest_ns

    def read(self, sequence: int, camera: int, ns: int, since_nuc: int) -> None:
        with self._lock:
            if self._have_previous and sequence <= self._sequence:
                self._have_previous = False  # a new run
            if self._have_previous:
                sequence_step = (sequence - self._sequence) & self._MASK
                camera_step = (camera - self._camera) & self._MASK
            else:
                sequence_step, camera_step = sequence, camera
            unseen = max(sequence_step - 1, 0)
            overwritten = min(self._overwritten_since_read, unseen)
            self._overwritten_since_read = 0
            held = 0
            if since_nuc != self._NO_NUC and since_nuc < sequence_step:
                held = min(unseen - overwritten, since_nuc)
            self._held += held
            self._lost += unseen - overwritten - held
            not_taken = max(camera_step - sequence_step, 0)
            across_pause = self._resumed_after_ns is not None and ns > self._resumed_after_ns
            if across_pause:
                self._paused += not_taken
                self._resumed_after_ns = None
            else:
                self._lost += not_taken
            if self._have_previous and held == 0 and not across_pause and ns > self._ns:
                self._span_frames += sequence_step
                self._span_ns += ns - self._ns
            self._have_previous = True
            self._sequence, self._camera, self._ns = sequence, camera, ns

    def stats(self) -> CaptureStats:
        with self._lock:
            fps = (self._span_frames * 1e9 / self._span_ns
                   if self._span_frames and self._span_ns > 0 else None)
            lost = self._lost + self._overwritten
            return CaptureStats(self._announced, fps, lost, self._held, self._paused,
                                lost + self._held + self._paused)


class Frame:
    """One frame of the library's ring, identified by its id.

    Each accessor copies the frame out of the ring into an array that Python
    owns. The ring has 30 slots: once it has gone round, the frame's slot holds
    another frame and the accessors raise :class:`FrameExpired`.
    """

    __slots__ = ("id", "time", "monotonic", "_core", "__weakref__")

    def __init__(self, core: "_Core", frame_id: int, arrived: float, monotonic: float) -> None:
        #: the library's frame id: a nonzero unsigned 32-bit number
        self.id = int(frame_id) & 0xFFFFFFFF
        self.time = arrived  #: arrival time, seconds since the epoch (time.time())
        self.monotonic = monotonic  #: arrival time on time.monotonic()'s clock
        self._core = core

    def raw(self, out: Optional[np.ndarray] = None) -> np.ndarray:
        """The raw 14-bit sensor values, uint16, 480 x 640."""
        if out is None:
            out = np.empty((HEIGHT, WIDTH), np.uint16)
        else:
            check_array(out, np.uint16, (HEIGHT, WIDTH), "raw()")
        self._core.copy_frame("Kalvex_GetRaw", self.id, out, _RAW_BYTES)
        return out

    def temperatures(self, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Degrees Celsius per pixel, float32, 480 x 640 (-999.0: no temperature).

        Without a calibration table (:meth:`Camera.load_table`) there are no
        temperatures to give."""
        if out is None:
            out = np.empty((HEIGHT, WIDTH), np.float32)
        else:
            check_array(out, np.float32, (HEIGHT, WIDTH), "temperatures()")
        self._core.copy_frame("Kalvex_GetTemperature", self.id, out, _TEMPERATURE_BYTES)
        return out

    def color(self, order: str = "rgb", out: Optional[np.ndarray] = None, *,
              palette: Any = None, agc: Optional[str] = None, tail_percent: Any = None,
              plateau_limit: Any = None, damping: Any = None, isotherms: Any = None,
              bar: bool = False) -> Any:
        """The colour-mapped image, uint8, 480 x 640 x 3, in RGB order (or the
        library's own BGR with ``order="bgr"``).

        Without further arguments, the library's own colours. Otherwise:
        ``palette`` a name of :func:`kalvex.palettes` or 256 RGB entries (uint8
        (256, 3)); ``agc`` the contrast, "range" (the camera's colour range),
        "linear" (the frame's range with ``tail_percent`` of the pixels clipped
        at each end, default 1) or "plateau" (histogram equalisation with
        ``plateau_limit`` pixels per bin at most, default 150); ``damping`` (0 to
        below 1) blends linear and plateau with the camera's previous mapping;
        ``isotherms``, up to 4 :class:`kalvex.Isotherm` (the later wins). With
        ``bar=True`` the result is ``(image, kalvex.ColorBar)``."""
        if order not in ("rgb", "bgr"):
            raise InvalidArgument(f'order must be "rgb" or "bgr", not {order!r}')
        if out is None:
            out = np.empty((HEIGHT, WIDTH, 3), np.uint8)
        else:
            check_array(out, np.uint8, (HEIGHT, WIDTH, 3), "color()")
        if bar or any(v is not None for v in (palette, agc, tail_percent, plateau_limit,
                                               damping, isotherms)):
            return _measure.colorize(self._core, self.id, order, out, palette, agc,
                                     tail_percent, plateau_limit, damping, isotherms, bar)
        if order == "bgr":
            self._core.copy_frame("Kalvex_GetColor", self.id, out, _COLOR_BYTES)
        else:
            self._core.copy_color_rgb(self.id, out)
        return out

    def measure(self, roi: Any) -> Any:
        """The statistics of a :class:`kalvex.Roi` in this frame (a
        :class:`kalvex.RegionStats`), or of a list of them in one pass (a list)."""
        return _measure.measure_frame(self._core, self.id, roi)

    @property
    def info(self) -> FrameInfo:
        """What was known when the frame was taken (:class:`kalvex.FrameInfo`):
        sequence number, camera frame counter, transfer time, internal
        temperature, NUC state, raw range, table and scene. Raises
        :class:`FrameExpired` once the ring has reused the frame's slot."""
        return self._core.frame_info(self.id)

    @property
    def sequence(self) -> int:
        """1 for the first frame of a capture run, one more for each frame taken."""
        return self.info.sequence

    @property
    def timestamp_ns(self) -> int:
        """End of the frame's transfer, nanoseconds on the library's monotonic clock."""
        return self.info.timestamp_ns

    @property
    def utc(self) -> "datetime":
        """The same moment as an aware UTC datetime."""
        return self.info.utc

    def __repr__(self) -> str:
        return f"<kalvex.Frame id={self.id}>"


_Callback = Callable[[Any], Any]


class _Core:
    """What a camera owns: the handle, its window and the dispatcher thread.

    Kept apart from :class:`Camera`, and never referring to it, so that the
    finalizer can release the handle once the camera is no longer used."""

    def __init__(self, delivery: str, poll_interval: float) -> None:
        self.lib = _library.lib()
        self.delivery = delivery
        self.poll_interval = poll_interval
        # One library call at a time per camera, each with the codes it leaves.
        self.lock = threading.RLock()
        self.handle = 0
        self.window: Optional[int] = None
        self.closed = False
        self.capturing = False
        self.ended = False
        self.cond = threading.Condition()
        self.seq = 0
        self.latest: Optional[Frame] = None
        self.subscribers: List[Deque[Frame]] = []
        self.frame_callbacks: List[_Callback] = []
        self.event_callbacks: List[_Callback] = []
        self.event_hooks: List[Callable[[int], None]] = []
        self.pending_events: List[int] = []
        self.stop = threading.Event()
        self.thread: Optional[threading.Thread] = None
        self.close_pending = False
        self._scratch: Optional[np.ndarray] = None
        self.alarm_hub: Optional[_measure.Alarms] = None  # made by the first use of alarms
        self.counts = _FrameCounts()
        try:
            self._get_info: Optional[Callable[..., int]] = _library.optional(
                "KalvexFrame_GetInfo", ctypes.c_int32,
                [ctypes.c_int32, ctypes.c_uint32, ctypes.POINTER(KalvexFrameInfo)])
        except KalvexError:
            self._get_info = None  # a library without frame metadata: no counts

    # ---- calls ---------------------------------------------------------------------------

    def check_open(self) -> None:
        if self.closed:
            raise CameraClosed("the camera is closed")

    def pop_codes(self) -> List[int]:
        """Every pending code, newest first (lock held)."""
        codes = []
        for _ in range(_MAX_CODES):
            code = self.lib.Kalvex_GetLastError(self.handle)
            if code == 0:
                break
            codes.append(int(code))
        return codes

    def flush(self) -> None:
        """Takes codes that earlier successes and the capture thread left, so that a
        failure reports only its own (lock held). With a window they have been
        posted as events already; when polling they become events now."""
        codes = self.pop_codes()
        if codes and self.delivery == "poll":
            self.pending_events.extend(reversed(codes))

    def call(self, what: str, name: str, *args: Any,
             ok: Callable[[Any], bool] = bool, fallback: type = KalvexError) -> Any:
        with self.lock:
            self.check_open()
            self.flush()
            result = getattr(self.lib, name)(self.handle, *args)
            if ok(result):
                return result
            codes = self.pop_codes()
        raise error_for(what, codes, fallback)

    def param(self, ident: int) -> int:
        with self.lock:
            self.check_open()
            return int(self.lib.Kalvex_GetParam(self.handle, ident))

    def frame_info(self, frame_id: int) -> FrameInfo:
        get = _library.optional("KalvexFrame_GetInfo", ctypes.c_int32,
                                [ctypes.c_int32, ctypes.c_uint32,
                                 ctypes.POINTER(KalvexFrameInfo)])
        info = KalvexFrameInfo()
        info.size = ctypes.sizeof(info)
        with self.lock:
            self.check_open()
            self.flush()
            if get(self.handle, frame_id, ctypes.byref(info)):
                return FrameInfo._from_c(info)
            codes = self.pop_codes()
        if codes and codes[0] == EventCode.INVALID_ARGUMENT:
            raise FrameExpired(f"frame {frame_id} is no longer in the ring", 5, codes)
        raise error_for(f"cannot read the metadata of frame {frame_id}", codes)

    def copy_frame(self, name: str, frame_id: int, out: np.ndarray, size: int) -> None:
        with self.lock:
            self.check_open()
            self.flush()
            # The library takes ids as int32: the same 32 bits.
            signed = ctypes.c_int32(frame_id).value
            if getattr(self.lib, name)(self.handle, signed, out.ctypes.data, size):
                return
            codes = self.pop_codes()
        if codes and codes[0] == EventCode.INVALID_ARGUMENT:
            raise FrameExpired(f"frame {frame_id} is no longer in the ring", 5, codes)
        raise error_for(f"cannot copy frame {frame_id}", codes)

    def copy_color_rgb(self, frame_id: int, out: np.ndarray) -> None:
        with self.lock:
            if self._scratch is None:
                self._scratch = np.empty((HEIGHT, WIDTH, 3), np.uint8)
            self.copy_frame("Kalvex_GetColor", frame_id, self._scratch, _COLOR_BYTES)
            np.copyto(out, self._scratch[..., ::-1])

    # ---- delivery ------------------------------------------------------------------------

    def start_dispatcher(self) -> None:
        target = self._run_window if self.delivery == "window" else self._run_poll
        self.thread = threading.Thread(target=target, name=f"kalvex-{self.handle}", daemon=True)
        self.thread.start()

    def _run_window(self) -> None:
        message = KalvexMessage()
        get = self.lib.KalvexPosix_GetMessage
        window = self.window
        pointer = ctypes.byref(message)
        while not self.stop.is_set():
            got = get(window, pointer, 50)
            # Take what is queued in one go: consumers then wake once per batch,
            # not once per frame, when frames come faster than they are taken.
            batch = 0
            while got == 1:
                if message.message == WM_FRAME:
                    self._frame(_int32(message.lParam), notify=False)
                elif message.message == WM_EVENT:
                    self._event(int(message.lParam))
                elif message.message == WM_ALARM and self.alarm_hub is not None:
                    self.alarm_hub.pump()
                batch += 1
                got = get(window, pointer, 0) if batch < RING_LENGTH else 0
            if batch:
                with self.cond:
                    self.cond.notify_all()
            if got < 0 or self.close_pending:
                break
        self._after_dispatch()

    def _run_poll(self) -> None:
        last = 0
        while not self.stop.is_set():
            # Not blocking on the lock: close() may run in a thread that holds it
            # (a finalizer under garbage collection) and then waits for this one.
            if not self.lock.acquire(timeout=0.05):
                continue
            try:
                if self.closed:
                    break
                newest = int(self.lib.Kalvex_GetNewID(self.handle))
                self.flush()
                events, self.pending_events = self.pending_events, []
                capturing = self.capturing
                # After the newest id: the news of every frame before it are out.
                alarms = self.alarm_hub.take() if self.alarm_hub is not None else []
            finally:
                self.lock.release()
            for code in events:
                self._event(code)
            if alarms:
                assert self.alarm_hub is not None
                self.alarm_hub.deliver(alarms)
            if capturing and newest != 0 and newest != last:
                self._frame(newest)
            last = newest
            if self.close_pending:
                break
            self.stop.wait(self.poll_interval if capturing else max(self.poll_interval, 0.02))
        self._after_dispatch()

    def _after_dispatch(self) -> None:
        if self.close_pending:
            # close() was called from a callback: finish it here, after the callback.
            self.release()

    def newest_timestamp_ns(self) -> int:
        """The transfer time of the newest frame the library holds, 0 for none (lock held)."""
        newest = int(self.lib.Kalvex_GetNewID(self.handle))
        if newest == 0 or self._get_info is None:
            return 0
        info = KalvexFrameInfo()
        info.size = ctypes.sizeof(info)
        if self._get_info(self.handle, newest & 0xFFFFFFFF, ctypes.byref(info)):
            return int(info.timestampNs)
        self.pop_codes()
        return 0

    def _count(self, frame_id: int) -> None:
        """Reads the frame's metadata into the counts, as soon as it is announced."""
        self.counts.announced()
        if self._get_info is None:
            return
        info = KalvexFrameInfo()
        info.size = ctypes.sizeof(info)
        # One library call at a time, but never blocking a close() that waits for us.
        while not self.lock.acquire(timeout=0.05):
            if self.stop.is_set():
                return
        try:
            if self.closed or not self.handle:
                return
            self.flush()
            if self._get_info(self.handle, frame_id & 0xFFFFFFFF, ctypes.byref(info)):
                read = True
            else:
                read = False
                # Its own code 5 is no news; anything else the capture thread left is.
                others = [c for c in self.pop_codes() if c != EventCode.INVALID_ARGUMENT]
                if others and self.delivery == "poll":
                    self.pending_events.extend(reversed(others))
        finally:
            self.lock.release()
        if read:
            self.counts.read(info.sequence, info.cameraFrame, info.timestampNs,
                             info.framesSinceNuc)
        else:
            self.counts.overwritten()

    def _frame(self, frame_id: int, notify: bool = True) -> None:
        self._count(frame_id)
        frame = Frame(self, frame_id, time.time(), time.monotonic())
        with self.cond:
            self.latest = frame
            self.seq += 1
            for queue in self.subscribers:
                queue.append(frame)
            if notify:
                self.cond.notify_all()
        for callback in list(self.frame_callbacks):
            try:
                callback(frame)
            except Exception:
                log.exception("kalvex: the frame callback %r raised", callback)

    def _event(self, code: int) -> None:
        if code == EventCode.CAPTURE_ENDED:
            with self.cond:
                self.ended = True
                self.cond.notify_all()
        for hook in list(self.event_hooks):
            hook(code)
        try:
            event: Any = EventCode(code)
        except ValueError:
            event = code
        for callback in list(self.event_callbacks):
            try:
                callback(event)
            except Exception:
                log.exception("kalvex: the event callback %r raised", callback)

    # ---- end -----------------------------------------------------------------------------

    def close(self) -> None:
        """Stops capture, ends the dispatcher and releases the handle; idempotent."""
        if self.closed:
            return
        if self.thread is not None and threading.current_thread() is self.thread:
            # From inside a callback: the dispatcher finishes the work when it returns.
            with self.cond:
                self.closed = True
                self.cond.notify_all()
            self.close_pending = True
            return
        with self.cond:
            self.closed = True
            self.cond.notify_all()
        self.stop.set()
        if self.thread is not None:
            self.thread.join()
        self.release()

    def release(self) -> None:
        with self.lock:
            self.closed = True
            handle, self.handle = self.handle, 0
            window, self.window = self.window, None
            if handle:
                self.lib.Kalvex_Release(handle)  # stops capture and a recording too
            if window:
                self.lib.KalvexPosix_DestroyWindow(window)
            self.capturing = False
        with self.cond:
            self.cond.notify_all()


def _delivery_mode(delivery: str) -> str:
    if delivery not in ("auto", "window", "poll"):
        raise InvalidArgument(f'delivery must be "auto", "window" or "poll", not {delivery!r}')
    has_windows = _library.has_posix_windows()
    if delivery == "window" and not has_windows:
        raise InvalidArgument("this library has no message windows: use delivery=\"poll\"")
    if delivery == "auto":
        return "window" if has_windows else "poll"
    return delivery


def _add_usb_model(usb: Any) -> None:
    """Names a USB camera model (vendor, product) to the library's driver."""
    if (not isinstance(usb, tuple) or len(usb) != 2
            or not all(isinstance(i, int) and 0 <= i <= 0xFFFF for i in usb)):
        raise InvalidArgument(f"usb must be (vendor_id, product_id), each 0-0xffff, not {usb!r}")
    add = _library.optional("KalvexUsb_AddDevice", ctypes.c_int,
                            [ctypes.c_int, ctypes.c_int, ctypes.c_void_p])
    if add(usb[0], usb[1], None) != 1:
        raise NotSupported(f"the USB driver refuses the model {usb[0]:04x}:{usb[1]:04x}", 10)


def _usb_problem() -> str:
    """The USB driver's reason for the last camera it could not use, or ""."""
    last = _library.optional("KalvexUsb_GetLastEvent", ctypes.c_int,
                             [ctypes.c_char_p, ctypes.c_int])
    text = ctypes.create_string_buffer(512)
    return text.value.decode("utf-8", "replace") if last(text, 512) != 0 else ""


def _present_cameras(lib: ctypes.CDLL, handle: int) -> Dict[int, str]:
    found = {}
    name = ctypes.create_unicode_buffer(32)
    for index in range(8):
        if lib.Kalvex_IsCameraEnableW(handle, index, name, len(name)) == 1:
            found[index] = name.value
    return found


class Camera:
    """One camera, driven through one instance of the library.

    ``Camera()`` opens the first camera present, ``Camera(n)`` camera n (0-7).
    Use it as a context manager or call :meth:`close`; a finalizer releases the
    instance if neither happens.

    Frames are announced on a dispatcher thread of the camera's own: through a
    message window of the library (``delivery="window"``, the default where the
    library has them) or by polling the newest frame id (``delivery="poll"``).
    Frame arrays come top row first (the camera's line order): the camera is
    opened with ``params.row_order`` set, unless ``top_down=False``.

    ``usb=(vendor_id, product_id)`` drives a camera on USB through the library's
    user-space driver (Linux): the ids name the camera model, and ``number``
    counts the matching devices in bus order. ``kalvex usb`` lists candidates.
    """

    def __init__(self, number: Optional[int] = None, *, delivery: str = "auto",
                 poll_interval: float = 0.001, top_down: bool = True,
                 usb: Optional[Tuple[int, int]] = None) -> None:
        if number is not None and (not isinstance(number, int) or not 0 <= number <= 7):
            raise InvalidArgument(f"camera number must be 0-7 or None, not {number!r}")
        if usb is not None:
            _add_usb_model(usb)
        mode = _delivery_mode(delivery)
        poll = _seconds(poll_interval, "poll_interval") or 0.0
        core = _Core(mode, poll)
        self._core = core
        lib = core.lib
        try:
            if mode == "window":
                core.window = lib.KalvexPosix_CreateWindow()
                if not core.window:
                    raise OutOfMemory("cannot create a message window", 6)
            core.handle = int(lib.Kalvex_Initialize(core.window))
            if core.handle == 0:
                raise OutOfMemory("the library could not create an instance", 6)
            found = _present_cameras(lib, core.handle)
            init_codes = core.pop_codes()
            if not found:
                why = _usb_problem() if usb is not None else ""
                raise CameraNotAvailable(
                    "no camera is present" + (f" on USB: {why}" if why else ""), 2, init_codes)
            if number is None:
                number = min(found)
            if number not in found:
                raise CameraNotAvailable(
                    f"camera {number} is not present (present: "
                    f"{', '.join(str(n) for n in sorted(found))})", 2)
            if number != 0:
                core.call(f"cannot select camera {number}", "Kalvex_SetCameraNumber", number)
            for code in reversed(init_codes):  # e.g. an unreadable internal temperature
                log.warning("kalvex: opening camera %s: event %s (%s)", number, code,
                            MEANINGS.get(code, "unknown"))
            self.number: int = number
            self.name: str = found[number]
            if top_down:
                core.call("cannot set the row order", "Kalvex_SetParam", _PARAM_ROW_ORDER, 1)
            core.start_dispatcher()
        except BaseException:
            core.close()
            raise
        self._finalizer = weakref.finalize(self, core.close)
        self.params = Params(core)
        self.registers = Registers(core)

    # ---- life ----------------------------------------------------------------------------

    def close(self) -> None:
        """Stops capture and releases the camera. Safe to call twice and from any
        thread; from inside a callback the release happens when it returns."""
        self._core.close()

    @property
    def closed(self) -> bool:
        return self._core.closed

    def __enter__(self) -> "Camera":
        self._core.check_open()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("capturing" if self._core.capturing else "idle")
        return f"<kalvex.Camera {getattr(self, 'number', '?')} {state}>"

    @property
    def handle(self) -> int:
        """The library's instance handle (0 once closed)."""
        return self._core.handle

    @property
    def delivery(self) -> str:
        """"window" or "poll": how frames are announced."""
        return self._core.delivery

    # ---- capture -------------------------------------------------------------------------

    def start(self) -> None:
        """Starts continuous capture."""
        core = self._core
        with core.lock:
            core.check_open()
            if core.ended:
                self.stop()
            with core.cond:
                core.ended = False
            core.counts.reset()
            core.call("cannot start capture", "Kalvex_Preview")
            core.capturing = True

    def stop(self) -> None:
        """Stops capture (and a recording with it). Does nothing when idle."""
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            self._core.lib.Kalvex_Close(core.handle)
            codes = core.pop_codes()
            core.capturing = False
            with core.cond:
                core.ended = False
        if EventCode.COMMUNICATION in codes:
            # Unplugged cameras do not acknowledge the stop: nothing to do about it.
            log.warning("kalvex: camera %s did not acknowledge the end of streaming", self.number)

    def pause(self) -> None:
        """Holds frame delivery without stopping capture."""
        self._core.call("cannot pause", "Kalvex_Pause")

    def resume(self) -> None:
        """Resumes frame delivery after :meth:`pause`. The camera's frames meanwhile
        count as paused in :attr:`stats`."""
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            if core.lib.Kalvex_GetParam(core.handle, _PARAM_PAUSE) != 0:
                # Nothing is published while paused: the newest frame is the last
                # one before the pause. Told before capture resumes, so that the
                # dispatcher never sees a frame after the pause first.
                core.counts.resuming(core.newest_timestamp_ns())
            core.call("cannot resume", "Kalvex_Start")

    @property
    def paused(self) -> bool:
        return self._core.param(_PARAM_PAUSE) != 0

    @property
    def stats(self) -> CaptureStats:
        """Frames, frame rate and the frames not delivered (lost, held by a NUC's hold,
        paused) of the current or last capture run, from the frames' own metadata:
        a :class:`kalvex.CaptureStats`. With a library that lacks frame metadata
        (``KalvexFrame_GetInfo``) only ``frames`` is counted."""
        return self._core.counts.stats()

    @property
    def capturing(self) -> bool:
        """True while continuous capture runs (False once the camera has ended it)."""
        core = self._core
        return not core.closed and core.capturing and not core.ended

    def frames(self, count: Optional[int] = None,
               timeout: Optional[float] = 10.0) -> Iterator[Frame]:
        """Iterates over the frames as they arrive (``count`` of them, or without
        end). Starts capture if it is not running, and then stops it when the
        iteration ends. Raises :class:`Timeout` when no frame comes within
        ``timeout`` seconds and :class:`CaptureEnded` when the camera ends the
        capture; stops quietly when the camera is closed. Frames announced while
        the consumer lags more than the ring's 30 slots behind are skipped."""
        if count is not None and (not isinstance(count, int) or count < 0):
            raise InvalidArgument(f"count must be a non-negative int or None, not {count!r}")
        limit = _seconds(timeout)
        self._core.check_open()
        return self._frames(count, limit)

    def _frames(self, count: Optional[int], timeout: Optional[float]) -> Iterator[Frame]:
        core = self._core
        queue: Deque[Frame] = collections.deque(maxlen=RING_LENGTH)
        with core.cond:
            core.subscribers.append(queue)
        started = False
        try:
            if not self.capturing:
                try:
                    self.start()
                except CameraClosed:
                    return  # closed meanwhile by another thread: nothing to iterate
                started = True
            delivered = 0
            while count is None or delivered < count:
                with core.cond:
                    deadline = None if timeout is None else time.monotonic() + timeout
                    while not queue and not core.closed and not core.ended:
                        remaining = None if deadline is None else deadline - time.monotonic()
                        if remaining is not None and remaining <= 0:
                            raise Timeout(f"no frame arrived within {timeout} s")
                        core.cond.wait(remaining)
                    # Frames queued before close() are gone with the camera.
                    if core.closed:
                        return
                    if queue:
                        frame = queue.popleft()
                    else:
                        raise CaptureEnded("the camera ended the capture", 4)
                yield frame
                delivered += 1
        finally:
            with core.cond:
                core.subscribers.remove(queue)
            if started and not core.closed:
                try:
                    self.stop()
                except KalvexError:
                    pass

    def wait_frame(self, after: Union[None, int, Frame] = None,
                   timeout: Optional[float] = 10.0) -> Frame:
        """The newest frame once it differs from ``after`` (a frame or frame id);
        without ``after``, the next frame to arrive. Capture must be running."""
        limit = _seconds(timeout)
        after_id = after.id if isinstance(after, Frame) else after
        if after_id is not None:
            after_id = int(after_id) & 0xFFFFFFFF
        if after_id is not None and not isinstance(after_id, int):
            raise InvalidArgument(f"after must be a Frame, a frame id or None, not {after!r}")
        core = self._core
        core.check_open()
        with core.cond:
            latest = core.latest
            if after_id is not None and latest is not None and latest.id != after_id:
                return latest
            if not self.capturing and not core.ended:
                raise KalvexError("capture is not running: call start() first")
            seq = core.seq
            deadline = None if limit is None else time.monotonic() + limit
            while core.seq == seq and not core.closed and not core.ended:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    raise Timeout(f"no frame arrived within {limit} s")
                core.cond.wait(remaining)
            if core.seq != seq:
                assert core.latest is not None
                return core.latest
            if core.closed:
                raise CameraClosed("the camera was closed")
            raise CaptureEnded("the camera ended the capture", 4)

    def snap(self, trigger: bool = False) -> Frame:
        """Takes one frame from the idle camera: at once, or on the next falling edge
        of the trigger input (waiting up to 3 s) with ``trigger=True``. Frames taken
        earlier, by capture or snap, are gone afterwards."""
        core = self._core
        with core.lock:
            core.check_open()
            if core.ended:
                self.stop()
            if core.capturing:
                raise AcquisitionFailed("snap() needs an idle camera: stop() capture first", 3)
            if not trigger:
                frame_id = core.call("no frame was taken", "Kalvex_OneShot",
                                     fallback=AcquisitionFailed)
                return Frame(core, int(frame_id), time.time(), time.monotonic())
            started = time.monotonic()
            try:
                frame_id = core.call("no frame was taken", "Kalvex_Trigger",
                                     fallback=AcquisitionFailed)
            except AcquisitionFailed as error:
                # The library waits 3 s for the edge, then fails as it would for
                # a lost frame: the time taken tells the two apart.
                # A camera that stopped answering fails the same way, with code 8.
                if time.monotonic() - started < _TRIGGER_WAIT_S * 0.95 \
                        or EventCode.COMMUNICATION in error.codes:
                    raise
                raise TriggerTimeout(
                    f"no trigger came in {_TRIGGER_WAIT_S:g} s: snap(trigger=True) waits for "
                    "a falling edge on the trigger input (bit 2 of register 7); on the "
                    "simulated camera, schedule one first with "
                    "kalvex.sim.SimCamera(n).schedule_trigger_pulse()", error.code,
                    error.codes) from None
        return Frame(core, int(frame_id), time.time(), time.monotonic())

    # ---- camera operations ---------------------------------------------------------------

    def nuc(self) -> None:
        """Performs a non-uniformity correction now (frames of the following
        ``params.nuc_hold_ms`` are dropped)."""
        self._core.call("NUC failed", "Kalvex_Nuc")

    def load_table(self, path: PathLike) -> None:
        """Loads a temperature table file, then performs a NUC."""
        text = _text_path(path)
        try:
            self._core.call(f"cannot load the temperature table {text!r}", "Kalvex_SetTableW",
                            text, fallback=FileError)
        except FileError as error:
            why = table_refusal(text)
            if why:
                raise FileError(f"cannot load the temperature table {text!r}: {why}", error.code,
                                error.codes) from None
            raise

    def save(self, path: PathLike, kind: Union[str, int] = "png") -> None:
        """Saves the newest frame: ``kind`` is a save type by name (``"png"``,
        ``"tiff16"``, ``"temp-f32"``... see ``kalvex.SAVE_TYPES``) or number 0-13."""
        save_type = _save_type(kind)
        text = _text_path(path)
        try:
            self._core.call(f"cannot save {text!r}", "Kalvex_SaveW", text, save_type)
        except FileError as error:
            raise _with_os_reason(error, f"cannot save {text!r}", text) from None

    def record(self, path: PathLike, kind: Union[str, int] = "avi") -> "Recording":
        """Records the frame stream into ``path`` (``"raw"``, ``"avi"`` or ``"temp"``,
        or 1-3; or ``"seq"``, a radiometric sequence that :func:`kalvex.open_sequence`
        reads back, ``"seq-none"`` uncompressed) while capture runs; use the result
        as a context manager, or call its ``stop()``. Recordings longer than
        ``params.split_mib`` continue in numbered files."""
        record_kind = _record_kind(kind)
        text = _text_path(path)
        recording = Recording(self._core, text, record_kind)
        try:
            if record_kind in _SEQUENCE_KINDS.values():
                start = _library.optional("KalvexSeq_RecordW", ctypes.c_int32,
                                          [ctypes.c_int32, ctypes.c_wchar_p, ctypes.c_int32])
                with self._core.lock:
                    self._core.check_open()
                    self._core.flush()
                    if start(self._core.handle, text, record_kind - 100) == 1:
                        return recording
                    codes = self._core.pop_codes()
                raise error_for(f"cannot record into {text!r}", codes, FileError)
            self._core.call(f"cannot record into {text!r}", "Kalvex_RecW", text, record_kind)
        except FileError as error:
            raise _with_os_reason(error, f"cannot record into {text!r}", text) from None
        return recording

    @property
    def internal_temperature(self) -> float:
        """The camera's internal temperature in degrees Celsius."""
        ok = ctypes.c_int(0)
        core = self._core
        with core.lock:
            core.check_open()
            core.flush()
            value = core.lib.Kalvex_GetInternalTemperature(core.handle, ctypes.byref(ok))
            if ok.value:
                return float(value)
            codes = core.pop_codes()
        raise error_for("cannot read the internal temperature", codes or [8])

    # ---- callbacks -----------------------------------------------------------------------

    def on_frame(self, callback: Callable[[Frame], Any]) -> Callable[[Frame], Any]:
        """Calls ``callback(frame)`` for every frame, on the dispatcher thread. An
        exception it raises is logged to the "kalvex" logger. Usable as a decorator."""
        self._core.frame_callbacks.append(callback)
        return callback

    def on_event(self, callback: Callable[[EventCode], Any]) -> Callable[[EventCode], Any]:
        """Calls ``callback(code)`` (an :class:`EventCode`) for the events the library
        reports, on the dispatcher thread. When polling, codes that a failing call
        raises as an exception are not repeated as events."""
        self._core.event_callbacks.append(callback)
        return callback

    @property
    def alarms(self) -> "_measure.Alarms":
        """The camera's alarms on regions: ``camera.alarms.add(roi, "max", above=60.0,
        hysteresis=1.0, dwell_ms=500)`` gives a :class:`kalvex.Alarm`."""
        return _measure.alarms_of(self._core)

    def on_alarm(self, callback: Callable[[Any], Any]) -> Callable[[Any], Any]:
        """Calls ``callback(event)`` (a :class:`kalvex.AlarmEvent`: alarm, roi, active,
        value, ...) when an alarm rises or clears, on the dispatcher thread."""
        self.alarms.callbacks.append(callback)
        return callback

    def remove_callback(self, callback: Callable[..., Any]) -> None:
        """Removes a frame, event or alarm callback."""
        hub = self._core.alarm_hub
        for callbacks in (self._core.frame_callbacks, self._core.event_callbacks,
                          hub.callbacks if hub is not None else []):
            while callback in callbacks:
                callbacks.remove(callback)

    # ---- scene compensation (libraries with kalvex_scene.h) ------------------------------

    @property
    def scene(self) -> "Any":
        """The scene the camera's temperatures are compensated for (a :class:`kalvex.Scene`)."""
        from .scene import get_scene

        return get_scene(self._core)

    @scene.setter
    def scene(self, value: "Any") -> None:
        from .scene import set_scene

        set_scene(self._core, value)

    @property
    def emissivity_map(self) -> Optional[np.ndarray]:
        """Per-pixel emissivities (float32, 480 x 640) set here, or None."""
        return getattr(self._core, "emissivity_map", None)

    @emissivity_map.setter
    def emissivity_map(self, value: Optional[np.ndarray]) -> None:
        from .scene import set_emissivity_map

        set_emissivity_map(self._core, value)


def _save_type(kind: Union[str, int]) -> int:
    if isinstance(kind, str):
        if kind.lower() in SAVE_TYPES:
            return SAVE_TYPES[kind.lower()]
    elif isinstance(kind, int) and not isinstance(kind, bool) and 0 <= kind <= 13:
        return kind
    raise InvalidArgument(
        f"unknown save type {kind!r}: one of {', '.join(SAVE_TYPES)} or 0-13", 5)


def _record_kind(kind: Union[str, int]) -> int:
    if isinstance(kind, str):
        if kind.lower() in RECORD_KINDS:
            return RECORD_KINDS[kind.lower()]
        if kind.lower() in _SEQUENCE_KINDS:
            return _SEQUENCE_KINDS[kind.lower()]
    elif isinstance(kind, int) and not isinstance(kind, bool) and 1 <= kind <= 3:
        return kind
    raise InvalidArgument(
        f"unknown recording kind {kind!r}: raw, avi, temp, seq, seq-none or 1-3", 5)


class Recording:
    """A recording requested with :meth:`Camera.record`. Leaving the ``with`` block
    (or :meth:`stop`) ends it and waits until the library has closed the file."""

    def __init__(self, core: _Core, path: str, kind: int) -> None:
        self.path = path
        self.kind = kind
        self._core = core
        self._failed: List[int] = []
        self._hook = self._failed.append
        core.event_hooks.append(self._hook)
        self._stopped = False

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> None:
        self.stop(raise_errors=exc_type is None)

    def stop(self, timeout: float = 5.0, raise_errors: bool = True) -> None:
        """Ends the recording; raises :class:`FileError` if the file could not be written."""
        if self._stopped:
            return
        self._stopped = True
        core = self._core
        try:
            if not core.closed:
                core.call("cannot stop the recording", "Kalvex_RecW", self.path, 0)
                # The capture loop closes the file at its next frame.
                deadline = time.monotonic() + timeout
                while (core.capturing and not core.ended and not core.closed
                       and core.param(_PARAM_RECORDING) and time.monotonic() < deadline):
                    with core.cond:
                        core.cond.wait(0.05)
        finally:
            if self._hook in core.event_hooks:
                core.event_hooks.remove(self._hook)
        if raise_errors and EventCode.FILE in self._failed:
            raise FileError(f"cannot write the recording {self.path!r}", 9)


class Params:
    """The camera's settings as typed attributes (``camera.params``)."""

    def __init__(self, core: _Core) -> None:
        self._core = core

    def _set(self, ident: int, value: int, what: str) -> None:
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise InvalidArgument(f"{what} out of range: {value}")
        self._core.call(f"cannot set the {what}", "Kalvex_SetParam", ident, value)

    @staticmethod
    def _int(value: Any, what: str, minimum: int = _INT32_MIN) -> int:
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise InvalidArgument(f"{what} must be an int, not {value!r}")
        if value < minimum:
            raise InvalidArgument(f"{what} must be >= {minimum}, not {value}")
        return int(value)

    @property
    def width(self) -> int:
        return self._core.param(_PARAM_WIDTH)

    @property
    def height(self) -> int:
        return self._core.param(_PARAM_HEIGHT)

    @property
    def frame_rate(self) -> float:
        """Frames per second as the library measures them (read-only): frames
        published over the last second or so, NUC holds and pauses included, so it
        reads low after a NUC. ``camera.stats.fps`` is the rate from the frames'
        own times."""
        return self._core.param(_PARAM_FRAME_RATE) / 100.0

    @property
    def ring_length(self) -> int:
        return self._core.param(_PARAM_RING_LENGTH)

    @property
    def recording(self) -> bool:
        """True while a recording file is open."""
        return self._core.param(_PARAM_RECORDING) != 0

    @property
    def recording_kind(self) -> int:
        return self._core.param(_PARAM_RECORD_KIND)

    @property
    def frame_interval_ms(self) -> int:
        """Sleep of the capture loop per pass, ms (default 10)."""
        return self._core.param(_PARAM_FRAME_INTERVAL)

    @frame_interval_ms.setter
    def frame_interval_ms(self, value: int) -> None:
        self._set(_PARAM_FRAME_INTERVAL, self._int(value, "frame interval", 0), "frame interval")

    @property
    def nuc_hold_ms(self) -> int:
        """Frames arriving this long after a NUC are dropped, ms (default 1200)."""
        return self._core.param(_PARAM_NUC_HOLD)

    @nuc_hold_ms.setter
    def nuc_hold_ms(self, value: int) -> None:
        self._set(_PARAM_NUC_HOLD, self._int(value, "NUC hold time", 0), "NUC hold time")

    @property
    def split_mib(self) -> int:
        """Recording size at which a new numbered file begins, MiB (default 2000)."""
        return self._core.param(_PARAM_SPLIT_LIMIT)

    @split_mib.setter
    def split_mib(self, value: int) -> None:
        self._set(_PARAM_SPLIT_LIMIT, self._int(value, "split limit", 1), "split limit")

    @property
    def auto_range(self) -> int:
        """Frames whose statistics still set the colour range: -1 every frame, 0 fixed."""
        return self._core.param(_PARAM_AUTO_RANGE)

    @auto_range.setter
    def auto_range(self, value: int) -> None:
        self._set(_PARAM_AUTO_RANGE, self._int(value, "auto range"), "auto range")

    @property
    def range(self) -> Tuple[int, int]:
        """The colour range (low, high) in raw values."""
        return (self._core.param(_PARAM_RANGE_LOW), self._core.param(_PARAM_RANGE_HIGH))

    @range.setter
    def range(self, value: Tuple[int, int]) -> None:
        try:
            low, high = value
        except (TypeError, ValueError):
            raise InvalidArgument(f"range must be a (low, high) pair, not {value!r}") from None
        low = self._int(low, "range low", 0)
        high = self._int(high, "range high", 0)
        if low >= high:
            raise InvalidArgument(f"range low must be below high: {low}, {high}")
        self._set(_PARAM_RANGE_LOW, low, "range low")
        self._set(_PARAM_RANGE_HIGH, high, "range high")

    @property
    def auto_nuc(self) -> bool:
        """NUC automatically when the internal temperature drifts (default True)."""
        return self._core.param(_PARAM_AUTO_NUC) != 0

    @auto_nuc.setter
    def auto_nuc(self, value: bool) -> None:
        self._set(_PARAM_AUTO_NUC, 1 if value else 0, "auto NUC")

    @property
    def row_order(self) -> int:
        """1: frames are handed out in the camera's line order (top row first)."""
        return self._core.param(_PARAM_ROW_ORDER)

    @row_order.setter
    def row_order(self, value: int) -> None:
        self._set(_PARAM_ROW_ORDER, 1 if value else 0, "row order")

    @property
    def output_row_order(self) -> int:
        """1: saved and recorded files have their rows reversed."""
        return self._core.param(_PARAM_OUTPUT_ROW_ORDER)

    @output_row_order.setter
    def output_row_order(self, value: int) -> None:
        self._set(_PARAM_OUTPUT_ROW_ORDER, 1 if value else 0, "output row order")


def _os_reason(path: str) -> Optional[Tuple[int, str]]:
    """Why the operating system would not let a file be written at path, as an
    errno and words (the library's file error says only that it failed)."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.exists(folder):
        return errno.ENOENT, f"the folder {folder!r} does not exist"
    if not os.path.isdir(folder):
        return errno.ENOTDIR, f"{folder!r} is not a folder"
    if os.path.isdir(path):
        return errno.EISDIR, "that is a folder"
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        return errno.EACCES, "no permission to write there"
    return None


def _with_os_reason(error: FileError, what: str, path: str) -> FileError:
    found = _os_reason(path)
    if found is None:
        return error
    number, why = found
    better = FileError(f"{what}: {why} ({os.strerror(number)})", error.code, error.codes)
    better.errno, better.strerror, better.filename = number, os.strerror(number), path
    return better


class Registers:
    """The camera's 8-bit registers: ``camera.registers[n]`` for n in 0-255."""

    def __init__(self, core: _Core) -> None:
        self._core = core

    @staticmethod
    def _index(n: Any) -> int:
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or not 0 <= n <= 255:
            raise InvalidArgument(f"register number must be 0-255, not {n!r}")
        return int(n)

    def __getitem__(self, n: int) -> int:
        """The register's value; 0 also when the camera does not answer."""
        return self._core.param(_REGISTER_BASE + self._index(n))

    def __setitem__(self, n: int, value: int) -> None:
        index = self._index(n)
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) \
                or not 0 <= value <= 255:
            raise InvalidArgument(f"register value must be 0-255, not {value!r}")
        self._core.call(f"cannot write register {index}", "Kalvex_SetParam",
                        _REGISTER_BASE + index, int(value), fallback=CommunicationFailed)


def list_cameras() -> List[CameraInfo]:
    """The cameras present: number, name and internal temperature."""
    lib = _library.lib()
    handle = int(lib.Kalvex_Initialize(None))
    if handle == 0:
        raise OutOfMemory("the library could not create an instance", 6)
    try:
        cameras = []
        for number, name in sorted(_present_cameras(lib, handle).items()):
            temperature: Optional[float] = None
            if number == 0 or lib.Kalvex_SetCameraNumber(handle, number) == 1:
                ok = ctypes.c_int(0)
                value = lib.Kalvex_GetInternalTemperature(handle, ctypes.byref(ok))
                temperature = float(value) if ok.value else None
            cameras.append(CameraInfo(number, name, temperature))
        return cameras
    finally:
        lib.Kalvex_Release(handle)


def table_refusal(path: PathLike) -> Optional[str]:
    """Why the library would refuse the table file (None when it would load it),
    in the same words as the kalvex tool; None also for libraries without
    KalvexTable_CheckW."""
    text = _text_path(path)
    try:
        check = _library.optional("KalvexTable_CheckW", ctypes.c_int,
                                  [ctypes.c_wchar_p, ctypes.c_void_p, ctypes.c_char_p,
                                   ctypes.c_int])
    except KalvexError:
        return None
    reason = ctypes.create_string_buffer(512)
    if check(text, None, reason, len(reason)) == 1:
        return None
    return reason.value.decode("utf-8", "replace")


def version() -> int:
    """The library's version number (2032717)."""
    return int(_library.lib().Kalvex_GetDllVersion())
