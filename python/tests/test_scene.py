"""Scene compensation over kalvex_scene.h."""

import ctypes

import numpy as np
import pytest

import kalvex
from kalvex import _library

def test_without_the_scene_api_calls_say_not_supported(sim, monkeypatch):
    # A library from before the scene API: every Kalvex_Scene* lookup fails.
    real = _library.optional

    def older(name, restype, argtypes):
        if name.startswith("KalvexScene_"):
            raise kalvex.NotSupported(f"this Kalvex library has no {name}", code=10)
        return real(name, restype, argtypes)

    monkeypatch.setattr(_library, "optional", older)
    with pytest.raises(kalvex.NotSupported):
        kalvex.compensate(np.zeros(4), kalvex.Scene())
    with kalvex.Camera() as camera:
        with pytest.raises(kalvex.NotSupported):
            camera.scene = kalvex.Scene(emissivity=0.9)
        with pytest.raises(kalvex.NotSupported):
            camera.emissivity_map = np.ones((480, 640))


def test_scene_struct_matches_the_c_layout():
    assert ctypes.sizeof(kalvex.scene.KalvexScene) == 32


def test_compensate_is_identity_for_a_black_body_and_keeps_missing_values():
    t = np.array([[-999.0, 0.0], [37.0, 80.0]], np.float32)
    out = kalvex.compensate(t, kalvex.Scene.default())
    assert out.shape == t.shape and out[0, 0] == -999.0
    np.testing.assert_allclose(out[1:], t[1:], atol=0.01)
    grey = kalvex.compensate(t, kalvex.Scene(emissivity=0.5))
    assert grey[1, 1] > 80.0  # a grey body is hotter than it looks
    per_pixel = kalvex.compensate(t, kalvex.Scene(), emissivity=np.full(t.shape, 0.5))
    np.testing.assert_array_equal(per_pixel, grey)
    with pytest.raises(ValueError):
        kalvex.compensate(t, kalvex.Scene(), emissivity=np.ones(3))
    with pytest.raises(ValueError):
        kalvex.compensate(t, kalvex.Scene(humidity=2.0))


def test_camera_scene_and_emissivity_map(sim, table):
    sim.add_spot(320, 240, 30, 37.0)
    with kalvex.Camera() as camera:
        camera.params.nuc_hold_ms = 0
        camera.load_table(table)
        camera.scene = kalvex.Scene(emissivity=0.9)
        assert camera.scene.emissivity == pytest.approx(0.9)
        hot = camera.snap().temperatures()[240, 320]
        assert hot > 37.5
        camera.scene = None
        assert camera.scene == kalvex.Scene.default()
        camera.emissivity_map = np.full((480, 640), 0.9, np.float32)
        assert camera.snap().temperatures()[240, 320] == pytest.approx(hot, abs=0.05)
        camera.emissivity_map = None
        assert camera.emissivity_map is None
        with pytest.raises(ValueError):
            camera.scene = kalvex.Scene(band_low=14.0, band_high=8.0)
