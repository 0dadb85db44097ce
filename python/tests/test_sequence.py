"""Radiometric sequences from Python: a file the SDK wrote opens in tifffile
and reads back through open_sequence with its table and metadata."""

import json
from pathlib import Path

import numpy as np
import pytest
import tifffile

import kalvex

# Two pages the library's writer made: a flat 1500 (second page 1750) with
# pixel 0 at 999, a version-4 table of points (1000, 20 C) and (2000, 40 C).
RECORDED = Path(__file__).parent / "data" / "two_pages.tiff"


def test_tifffile_reads_the_pages_and_their_metadata():
    with tifffile.TiffFile(RECORDED) as tif:
        assert len(tif.pages) == 2
        first = tif.pages[0]
        assert first.shape == (480, 640) and first.dtype == np.uint16
        assert first.asarray()[0, 1] == 1500 and tif.pages[1].asarray()[0, 1] == 1750
        meta = json.loads(first.description)
        assert meta["sequence"] == 1 and meta["frame_id"] == 0xFFFFFFF0
        assert meta["utc"] == "2025-12-09T05:52:19.000000Z"
        assert meta["kalvex"]["width"] == 640 and meta["kalvex"]["table"]["version"] == 4
        assert 65107 in first.tags
        assert "kalvex" not in json.loads(tif.pages[1].description)


def test_open_sequence_gives_raw_info_and_temperatures_again():
    with kalvex.open_sequence(RECORDED) as seq:
        assert len(seq) == 2
        assert seq.table.startswith(b"VELKAR THERMO TABLE 4000")
        assert seq.frame_rate == pytest.approx(10.0)
        frames = list(seq)
        raw = frames[1].raw()
        assert raw.shape == (480, 640) and raw[0, 0] == 999 and raw[0, 1] == 1750
        info = seq[-1].info
        assert info.frame_id == 0xFFFFFFF1 and info.sequence == 2 == seq[1].sequence
        assert seq[1].timestamp_ns - seq[0].timestamp_ns == 100_000_000
        assert seq[0].utc.year == 2025
        with pytest.raises(AttributeError):
            info.sequence = 5  # frozen
        temps = frames[0].temperatures()
        assert temps[0, 0] == -999.0 and temps[0, 1] == pytest.approx(30.0)
        hot = frames[1].temperatures(kalvex.Scene(emissivity=0.6))
        assert hot[0, 1] > temps[0, 1] + 5
        with pytest.raises(IndexError):
            seq[2]
    with pytest.raises(kalvex.KalvexError):
        len(seq)


def test_foreign_files_are_refused(tmp_path):
    path = tmp_path / "not.tiff"
    path.write_bytes(b"plain text, not a picture")
    with pytest.raises(kalvex.FileError, match="not a TIFF"):
        kalvex.open_sequence(path)
    with pytest.raises(kalvex.FileError):
        kalvex.open_sequence(tmp_path / "absent.tiff")


def test_a_camera_records_a_sequence_that_reads_back_as_it_was_captured(sim, camera, table,
                                                                          tmp_path):
    camera.load_table(table)
    sim.add_spot(320, 240, 40, 60.0)
    path = tmp_path / "run.tiff"
    frames = camera.frames(count=8)
    next(frames)
    with camera.record(path, "seq"):
        for _ in frames:
            pass
    assert not camera.params.recording
    camera.stop()
    with kalvex.open_sequence(path) as seq, tifffile.TiffFile(path) as tif:
        assert len(seq) == len(tif.pages) >= 5
        assert seq.table == table.read_bytes()
        numbers = [frame.sequence for frame in seq]
        assert numbers == list(range(numbers[0], numbers[0] + len(seq)))
        np.testing.assert_array_equal(tif.pages[0].asarray(), seq[0].raw())
        hot = seq[-1].temperatures()
        assert hot[240, 320] == pytest.approx(60.0, abs=0.1)
        assert hot[10, 10] == pytest.approx(22.0, abs=0.1)
    with pytest.raises(kalvex.InvalidArgument):
        camera.record(tmp_path / "x.tiff", "seq-gzip")


def test_a_recording_replays_through_the_simulated_camera_over_and_over(tmp_path):
    with kalvex.open_sequence(RECORDED) as seq:
        recorded = [frame.raw() for frame in seq]
        (tmp_path / "table.bin").write_bytes(seq.table)
    with pytest.raises(kalvex.FileError, match="not a TIFF"):
        kalvex.sim.replay(0, tmp_path / "table.bin")
    sim = kalvex.sim.replay(0, RECORDED, rate=200, loop=True)
    assert sim.replay_state.frames == 2 and sim.replay_state.active
    with kalvex.Camera() as camera:
        camera.params.frame_interval_ms = 0
        camera.params.nuc_hold_ms = 0
        camera.load_table(tmp_path / "table.bin")
        raws = [frame.raw() for frame in camera.frames(count=5)]
    # Capture may start on either page; from there the pages alternate.
    first = 0 if np.array_equal(raws[0], recorded[0]) else 1
    for k, raw in enumerate(raws):
        np.testing.assert_array_equal(raw, recorded[(first + k) % 2])
    assert sim.replay_state.loops >= 2
    sim.stop_replay()
    assert not sim.replay_state.active


def test_open_sequence_reads_what_the_tool_recorded(tmp_path):
    import os
    import subprocess
    tool = os.environ.get("KALVEX_TOOL") or str(Path(__file__).resolve().parents[2] / "build"
                                                / "tools" / "kalvex")
    kalvex.sim.write_table(tmp_path / "t.bin")
    run = subprocess.run([tool, "capture", "--sim", "--nuc-hold", "0", "--frames", "4",
                          "--table", "t.bin", "--spot", "320,240,30,45",
                          "--record", "seq:run.tiff"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    with kalvex.open_sequence(tmp_path / "run.tiff") as seq:
        assert len(seq) >= 2
        assert [frame.sequence for frame in seq] == list(range(seq[0].sequence,
                                                                seq[0].sequence + len(seq)))
        temps = seq[-1].temperatures()
        assert temps[240, 320] == pytest.approx(45.0, abs=0.1)
        assert temps[0, 0] == pytest.approx(22.0, abs=0.1)
