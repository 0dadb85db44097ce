"""The exception classes: one per event code of the library."""

from __future__ import annotations

import enum
from typing import Dict, Optional, Sequence, Type


class EventCode(enum.IntEnum):
    """The library's event codes (``KALVEX_EV_*``)."""

    NO_FRAME = 1
    NO_CAMERA = 2
    ACQUISITION = 3
    CAPTURE_ENDED = 4
    INVALID_ARGUMENT = 5
    NO_MEMORY = 6
    THREAD = 7
    COMMUNICATION = 8
    FILE = 9
    NOT_SUPPORTED = 10

    @property
    def meaning(self) -> str:
        return MEANINGS[int(self)]


MEANINGS: Dict[int, str] = {
    1: "no frame to save",
    2: "camera not available",
    3: "frame acquisition failed",
    4: "capture ended by the camera",
    5: "invalid argument",
    6: "out of memory or buffer too small",
    7: "capture thread not started",
    8: "camera communication failed",
    9: "file error",
    10: "not supported",
}


class KalvexError(Exception):
    """A failure of the library or of a call made to it.

    ``code`` is the event code that describes the failure (0 when the library
    recorded none), ``codes`` every code that the failing call left, newest
    first, and ``meaning`` the code's meaning in words.
    """

    default_code = 0

    def __init__(self, message: str = "", code: Optional[int] = None,
                 codes: Sequence[int] = ()) -> None:
        self.code = self.default_code if code is None else int(code)
        self.codes = tuple(int(c) for c in codes)
        self.meaning = MEANINGS.get(self.code, "")
        if not message:
            message = self.meaning or "Kalvex error"
        if self.code and self.meaning and self.meaning not in message:
            message = f"{message} (event {self.code}: {self.meaning})"
        self.message = message
        super().__init__(message)

    def __str__(self) -> str:
        return self.message


class NoFrame(KalvexError):
    """Event 1: there is no frame to save."""

    default_code = 1


class CameraNotAvailable(KalvexError):
    """Event 2: the camera is not there or cannot be selected."""

    default_code = 2


class AcquisitionFailed(KalvexError):
    """Event 3: a frame could not be acquired."""

    default_code = 3


class CaptureEnded(KalvexError):
    """Event 4: the camera ended the capture (unplugged, stalled)."""

    default_code = 4


class InvalidArgument(KalvexError, ValueError):
    """Event 5: an argument was refused (by the library or before reaching it)."""

    default_code = 5


class OutOfMemory(KalvexError, MemoryError):
    """Event 6: out of memory or a buffer too small."""

    default_code = 6


class CaptureThreadFailed(KalvexError):
    """Event 7: the capture thread could not be started."""

    default_code = 7


class CommunicationFailed(KalvexError):
    """Event 8: the camera did not answer."""

    default_code = 8


class FileError(KalvexError, OSError):
    """Event 9: a file could not be read or written."""

    default_code = 9

    def __init__(self, message: str = "", code: Optional[int] = None,
                 codes: Sequence[int] = ()) -> None:
        KalvexError.__init__(self, message, code, codes)

    def __str__(self) -> str:
        return self.message


class NotSupported(KalvexError):
    """Event 10: not supported by the camera or by this library."""

    default_code = 10


class FrameExpired(KalvexError):
    """The ring of 30 slots has reused the frame's slot; its pixels are gone."""

    default_code = 5


class Timeout(KalvexError, TimeoutError):
    """Nothing arrived in time."""

    def __init__(self, message: str = "", code: Optional[int] = None,
                 codes: Sequence[int] = ()) -> None:
        KalvexError.__init__(self, message, code, codes)

    def __str__(self) -> str:
        return self.message


class TriggerTimeout(Timeout, AcquisitionFailed):
    """No falling edge came on the trigger input (bit 2 of register 7) in time:
    a Timeout, and still the AcquisitionFailed it used to be."""


class CameraClosed(KalvexError):
    """The camera has been closed; its frames and settings are gone."""


ERROR_CLASSES: Dict[int, Type[KalvexError]] = {
    1: NoFrame,
    2: CameraNotAvailable,
    3: AcquisitionFailed,
    4: CaptureEnded,
    5: InvalidArgument,
    6: OutOfMemory,
    7: CaptureThreadFailed,
    8: CommunicationFailed,
    9: FileError,
    10: NotSupported,
}


def primary_code(codes: Sequence[int]) -> int:
    """The code that explains a failure: the newest, passing over "not supported"
    when something else is there too (starting capture and the trigger always
    record it before they fail for their real reason)."""
    for c in codes:
        if c != EventCode.NOT_SUPPORTED:
            return int(c)
    return int(codes[0]) if codes else 0


def error_for(message: str, codes: Sequence[int],
              fallback: Type[KalvexError] = KalvexError) -> KalvexError:
    code = primary_code(codes)
    cls = ERROR_CLASSES.get(code, fallback)
    return cls(message, code if code else None, codes)
