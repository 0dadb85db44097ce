"""Frames: exact pixels, temperatures, both delivery modes, callbacks, snaps."""

import logging
import threading
import time
import zlib

import numpy as np
import pytest

import kalvex


def test_spot_reads_its_temperature_through_a_simulator_table(sim, table, camera):
    sim.add_spot(320, 240, 30, 37.0)
    sim.add_spot(100, 50, 10, 80.0)  # upper left of the picture
    camera.load_table(table)
    t = camera.snap().temperatures()
    assert t.dtype == np.float32 and t.shape == (480, 640)
    assert abs(t[240, 320] - 37.0) <= 0.1
    assert abs(t[10, 600] - 22.0) <= 0.1
    # Arrays come top row first: the disc at sensor line 50 is at row 50.
    assert abs(t[50, 100] - 80.0) <= 0.1 and abs(t[429, 100] - 22.0) <= 0.1


def test_raw_color_and_out_arrays_are_exact_copies(sim, camera):
    sim.set_test_pattern(True)
    raw_out = np.zeros((480, 640), np.uint16)
    rgb_out = np.zeros((480, 640, 3), np.uint8)
    frame = camera.snap()
    raw = frame.raw(out=raw_out)
    rgb = frame.color(out=rgb_out)
    bgr = frame.color(order="bgr")
    assert raw is raw_out and rgb is rgb_out
    y, x = np.mgrid[0:480, 0:640]
    np.testing.assert_array_equal(raw, (y * 1031 + x) & 0x3FFF)
    np.testing.assert_array_equal(rgb, bgr[..., ::-1])
    # Copies, not views of the ring: later frames do not change them.
    kept = raw.copy()
    sim.set_test_pattern(False)
    camera.snap().raw()
    np.testing.assert_array_equal(raw_out, kept)


def test_bad_out_arrays_are_refused_before_the_library_is_called(sim, camera):
    frame = camera.snap()
    for bad in (np.zeros((480, 640), np.int16), np.zeros((640, 480), np.uint16),
                np.zeros((480, 1280), np.uint16)[:, ::2], [[0] * 640] * 480):
        with pytest.raises(kalvex.InvalidArgument):
            frame.raw(out=bad)
    with pytest.raises(ValueError):
        frame.temperatures(out=np.zeros((480, 640), np.float64))
    with pytest.raises(ValueError):
        frame.color(order="rgba")


def test_frames_arrive_in_both_delivery_modes_and_events_follow(sim, camera):
    events = []
    camera.on_event(events.append)
    ids = [frame.id for frame in camera.frames(count=20)]
    assert len(set(ids)) == 20 and 0 not in ids
    assert not camera.capturing  # frames() started capture, so it stopped it
    camera.start()
    camera.wait_frame()
    sim.unplug()
    with pytest.raises(kalvex.CaptureEnded):
        while True:
            camera.wait_frame(timeout=10)
    camera.stop()
    if camera.delivery == "window":
        # Starting capture records "not supported" (a reserved setting), posted too.
        assert kalvex.EventCode.NOT_SUPPORTED in events
    assert kalvex.EventCode.CAPTURE_ENDED in events


def test_a_raising_callback_is_logged_and_delivery_goes_on(sim, camera, caplog):
    seen = []
    five = threading.Event()

    def broken(frame):
        raise RuntimeError("callback fault")

    def counting(frame):
        seen.append(threading.current_thread().name)
        if len(seen) == 5:
            five.set()

    camera.on_frame(broken)
    camera.on_frame(counting)
    with caplog.at_level(logging.ERROR, logger="kalvex"):
        camera.start()
        assert five.wait(10)
        camera.stop()
    assert all(name.startswith("kalvex-") for name in seen)
    assert "callback fault" in caplog.text


def test_frame_expires_when_the_ring_wraps(sim, camera):
    iterator = camera.frames(count=31)
    first = next(iterator)
    camera.pause()  # the ring stands still: reading cannot race the capture
    first.raw()
    camera.resume()
    rest = list(iterator)
    assert len(rest) == 30
    with pytest.raises(kalvex.FrameExpired) as caught:
        first.raw()
    assert caught.value.code == 5


def test_snap_and_trigger(sim, camera):
    sim.set_test_pattern(True)
    frame = camera.snap()
    assert frame.raw()[1, 0] == 1031
    sim.set_trigger_level(True)
    sim.schedule_trigger_pulse(after_reads=3, high_reads=2)
    assert camera.snap(trigger=True).raw()[0, 1] == 1
    with pytest.raises(kalvex.FrameExpired):
        frame.raw()  # the second snap cleared the ring


def test_trigger_without_an_edge_is_a_timeout_naming_the_input(sim, camera):
    with pytest.raises(kalvex.TriggerTimeout) as caught:
        camera.snap(trigger=True)  # the input never changes: 3 s later
    assert caught.value.codes == (3, 10)
    assert isinstance(caught.value, kalvex.AcquisitionFailed)  # what it was before
    assert isinstance(caught.value, TimeoutError)
    assert "trigger input" in str(caught.value) and "schedule_trigger_pulse" in str(caught.value)
    sim.unplug()
    with pytest.raises(kalvex.AcquisitionFailed) as caught:
        camera.snap(trigger=True)
    assert not isinstance(caught.value, kalvex.Timeout)  # the camera is gone, not the pulse


def test_params_registers_and_internal_temperature(sim, camera):
    p = camera.params
    p.range = (2000, 9000)
    p.auto_nuc = False
    assert p.range == (2000, 9000) and p.auto_nuc is False and p.nuc_hold_ms == 0
    assert (p.width, p.height, p.ring_length) == (640, 480, 30)
    with pytest.raises(ValueError):
        p.range = (9000, 2000)
    camera.registers[44] = 0x5A  # register ids 1-18 must not hit the parameters
    camera.registers[7] = 0x11
    assert sim.read_register(44) == 0x5A and sim.read_register(7) == 0x11
    assert camera.registers[44] == 0x5A
    with pytest.raises(ValueError):
        camera.registers[256]
    sim.internal_temperature = 31.5
    assert camera.internal_temperature == pytest.approx(31.5, abs=0.02)
    for _ in camera.frames(count=3):
        assert isinstance(p.frame_rate, float)


def test_library_debug_lines_reach_the_logger(sim, caplog):
    with caplog.at_level(logging.DEBUG, logger="kalvex"):
        with kalvex.Camera():
            pass
    assert "GetInternalTemp" in caplog.text


def test_wait_frame_and_timeouts_never_hang(sim, camera):
    camera.start()
    first = camera.wait_frame()
    assert camera.wait_frame(after=first).id != first.id
    camera.pause()
    with pytest.raises(TimeoutError):
        for _ in camera.frames(timeout=0.3):  # a frame under way may still come
            pass
    camera.resume()
    assert camera.wait_frame(after=first.id).id != first.id
    camera.stop()


def test_frame_info_numbers_times_and_unsigned_ids(sim, camera, table):
    camera.load_table(table)
    frames, infos = [], []
    for frame in camera.frames(count=3):
        frames.append(frame)
        infos.append(frame.info)
    assert isinstance(infos[0], kalvex.FrameInfo)
    assert [i.sequence for i in infos] == [frames[0].sequence + k for k in range(3)]
    assert infos[0].timestamp_ns < infos[1].timestamp_ns < infos[2].timestamp_ns
    assert abs(infos[2].utc.timestamp() - time.time()) < 5
    assert all(0 < f.id < 2 ** 32 and i.frame_id == f.id for f, i in zip(frames, infos))
    assert infos[0].table_crc == zlib.crc32(table.read_bytes())
    camera.stop()
    newest = camera.snap()
    raw = newest.raw()
    assert (newest.info.raw_min, newest.info.raw_max) == (raw.min(), raw.max())
    assert infos[2].origin == "stream" and newest.info.origin == "oneshot"
    last = newest.sequence
    assert camera.snap().sequence == last + 1
    with pytest.raises(kalvex.FrameExpired):
        newest.info  # a snap empties the ring
