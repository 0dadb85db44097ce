"""The package's copies of the C header's numbers match kalvex.h itself."""

import re
from pathlib import Path

import kalvex
from kalvex import _library, camera, errors

_HEADER = Path(__file__).resolve().parents[2] / "include" / "kalvex.h"


def _defines(prefix):
    text = _HEADER.read_text()
    found = {name: int(value, 0) for name, value in
             re.findall(r"^#define (KALVEX_" + prefix + r"_\w+)\s+(0x[0-9A-Fa-f]+|\d+)", text, re.M)}
    assert found, f"no KALVEX_{prefix}_ constants in {_HEADER}"
    return found


def test_parameter_ids_save_types_kinds_codes_and_messages_match_the_header():
    params = _defines("PARAM")
    for name, value in vars(camera).items():
        if name.startswith("_PARAM_"):
            assert params["KALVEX" + name] == value, name
    assert sorted(v for k, v in vars(camera).items() if k.startswith("_PARAM_")) == sorted(
        v for k, v in params.items() if k != "KALVEX_PARAM_RESERVED")
    assert sorted(kalvex.SAVE_TYPES.values()) == sorted(_defines("SAVE").values())
    rec = _defines("REC")
    assert kalvex.RECORD_KINDS == {"raw": rec["KALVEX_REC_RAW"], "avi": rec["KALVEX_REC_AVI"],
                                   "temp": rec["KALVEX_REC_TEMPERATURE"]}
    events = _defines("EV")
    assert {"KALVEX_EV_" + c.name: int(c) for c in errors.EventCode} == events
    assert set(errors.MEANINGS) == set(events.values())
    wm = _defines("WM")
    assert (_library.WM_FRAME, _library.WM_EVENT) == (wm["KALVEX_WM_FRAME"], wm["KALVEX_WM_EVENT"])


def test_load_table_names_the_reason_the_library_gives(camera, tmp_path):
    bad = tmp_path / "passwd"
    bad.write_bytes(b"root:x:0:0:root:/root:/bin/bash\n")
    try:
        camera.load_table(bad)
    except kalvex.FileError as error:
        assert "point count 1953460082 is outside 1-16384" in str(error)
    else:
        raise AssertionError("a text file loaded as a table")


def test_a_closed_camera_ends_its_frames_and_refuses_with(sim):
    cam = kalvex.Camera()
    cam.params.nuc_hold_ms = 0
    gen = cam.frames(count=100)
    next(gen)
    cam.close()
    # Frames queued before close() are not handed out: the iterator ends.
    assert list(gen) == []
    try:
        with cam:
            raise AssertionError("with on a closed camera entered its block")
    except kalvex.CameraClosed:
        pass
