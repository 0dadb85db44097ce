"""Kalvex thermal camera SDK for Python: the library's C interface with NumPy arrays.

    import kalvex
    with kalvex.Camera() as camera:
        camera.load_table("table.bin")
        for frame in camera.frames(count=10):
            print(frame.temperatures()[240, 320])

The native library is found through ``KALVEX_LIBRARY`` (a file), then a copy
inside this package (``kalvex/lib/``), then the system loader.
"""

from .camera import (RECORD_KINDS, SAVE_TYPES, Camera, CameraInfo, CaptureStats, Frame, Params,
                     Recording,
                     table_refusal,
                     Registers, list_cameras, version)
from .errors import (AcquisitionFailed, CameraClosed, CameraNotAvailable, CaptureEnded,
                     CaptureThreadFailed, CommunicationFailed, EventCode, FileError,
                     FrameExpired, InvalidArgument, KalvexError, NotSupported, NoFrame,
                     OutOfMemory, Timeout, TriggerTimeout)
from ._library import LibraryNotFound, HEIGHT, WIDTH
from .measure import (Alarm, AlarmEvent, Alarms, ColorBar, Isotherm, RegionStats, Roi,
                      palette_colors, palettes)
from .scene import Scene, compensate
from .sequence import FrameInfo, Sequence, SequenceFrame, open_sequence

__version__ = "1.0.0"

__all__ = [
    "Camera", "CameraInfo", "CaptureStats", "Frame", "Params", "Recording", "Registers", "Scene",
    "list_cameras", "table_refusal", "version", "compensate", "SAVE_TYPES", "RECORD_KINDS", "WIDTH", "HEIGHT",
    "EventCode", "KalvexError", "NoFrame", "CameraNotAvailable", "AcquisitionFailed",
    "CaptureEnded", "InvalidArgument", "OutOfMemory", "CaptureThreadFailed",
    "CommunicationFailed", "FileError", "NotSupported", "FrameExpired", "Timeout", "TriggerTimeout",
    "CameraClosed", "LibraryNotFound", "FrameInfo", "Sequence", "SequenceFrame", "open_sequence",
    "Roi", "RegionStats", "Isotherm", "ColorBar", "Alarm", "AlarmEvent", "Alarms", "palettes",
    "palette_colors",
]
