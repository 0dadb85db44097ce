"""Opening, closing and releasing cameras, from any thread."""

import gc
import threading

import pytest

import kalvex
from kalvex import _library


def _alive(handle):
    return _library.lib().Kalvex_GetParam(handle, 1) == 640


def test_context_manager_and_close_twice(sim):
    with kalvex.Camera() as camera:
        handle = camera.handle
        assert _alive(handle) and camera.name == "KalvexN7K_01" and camera.number == 0
    assert camera.closed and not _alive(handle)
    camera.close()
    with pytest.raises(kalvex.CameraClosed):
        camera.start()
    with pytest.raises(kalvex.CameraClosed):
        camera.params.nuc_hold_ms


def test_finalizer_releases_the_handle(sim):
    camera = kalvex.Camera()
    handle = camera.handle
    frame = camera.snap()
    del camera
    gc.collect()
    assert not _alive(handle) and sim.counters.open_handles == 0
    with pytest.raises(kalvex.CameraClosed):
        frame.raw()


def test_close_from_another_thread_ends_the_iteration(camera):
    got = []
    errors = []
    first = threading.Event()

    def consume():
        try:
            for frame in camera.frames(timeout=None):
                got.append(frame.id)
                first.set()
        except Exception as error:  # the test fails below if anything escaped
            errors.append(error)

    thread = threading.Thread(target=consume)
    thread.start()
    assert first.wait(10)
    camera.close()
    thread.join(10)
    assert not thread.is_alive() and errors == [] and got


def test_close_inside_a_callback_finishes_after_it(camera):
    done = threading.Event()

    def on_frame(frame):
        camera.close()
        done.set()

    camera.on_frame(on_frame)
    camera.start()
    assert done.wait(10)
    camera._core.thread.join(10)
    assert camera.closed and camera.handle == 0


def test_two_cameras_at_once():
    kalvex.sim.plug(0, frame_rate=300).set_test_pattern(True)
    kalvex.sim.plug(1, frame_rate=300, background=40.0, internal_temperature=30.0)
    with kalvex.Camera(0) as a, kalvex.Camera(1) as b:
        assert (a.name, b.name) == ("KalvexN7K_01", "KalvexN7K_02")
        a.start()
        b.start()
        fa, fb = a.wait_frame(), b.wait_frame()
        assert fa.id != fb.id and a.capturing and b.capturing
        a.stop()
        b.stop()
        assert a.snap().raw()[1, 0] == 1031
        assert b.snap().raw()[1, 0] == kalvex.sim.SimCamera(1).raw_for_temperature(40.0)
    cameras = kalvex.list_cameras()
    assert [c.number for c in cameras] == [0, 1]
    assert cameras[0].internal_temperature == pytest.approx(25.0, abs=0.02)
    assert cameras[1].internal_temperature == pytest.approx(30.0, abs=0.02)
