"""Scene images of the simulated camera from Python: arrays, files, the demo scene."""

import numpy as np
import pytest

import kalvex
import kalvex.sim


def test_scene_image_and_files_read_back_through_a_table(sim, table, camera, tmp_path):
    y, x = np.mgrid[0:480, 0:640]
    image = (15.0 + 0.05 * x + 0.01 * y).astype(np.float32)
    sim.set_scene_image(image)
    sim.add_spot(600, 20, 3, 80.0)  # spots draw over the image
    camera.load_table(table)
    t = camera.snap().temperatures()
    assert abs(t[20, 600] - 80.0) <= 0.03
    t[17:24, 597:604] = image[17:24, 597:604]
    np.testing.assert_allclose(t, image, atol=0.03)  # row 0 the top of the scene
    sim.clear_spots()

    # Emissivity below 1 reads colder than a black body (hotter than the
    # surroundings); background= returns to the flat scene.
    sim.set_scene_image(np.full((480, 640), 60.0), emissivity=np.full((480, 640), 0.5))
    assert camera.snap().temperatures()[240, 320] < 45.0
    sim.background = 22.0
    assert abs(camera.snap().temperatures()[240, 320] - 22.0) <= 0.03

    # A temp-f32 file (two frames: the first is the scene) and a 16-bit PNG
    # are what load_scene takes; the same checks refuse bad ones.
    path = tmp_path / "scene.temp-f32"
    np.concatenate([image, np.zeros_like(image)]).astype("<f4").tofile(path)
    sim.load_scene(path)
    np.testing.assert_allclose(camera.snap().temperatures(), image, atol=0.03)
    (tmp_path / "short.temp-f32").write_bytes(image.astype("<f4").tobytes()[:-8])
    with pytest.raises(kalvex.InvalidArgument):
        sim.load_scene(tmp_path / "short.temp-f32")
    with pytest.raises(kalvex.InvalidArgument):
        sim.load_scene(tmp_path / "missing.png", scale=0.01, offset=-273.15)
    for bad in (np.zeros((480, 639)), np.full((480, 640), np.nan)):
        with pytest.raises(ValueError):
            sim.set_scene_image(bad)
    with pytest.raises(ValueError):
        sim.set_scene_image(image, emissivity=np.zeros((480, 640)))


def test_demo_scene_is_fixed_and_noisy_like_an_uncooled_sensor(sim, table, camera):
    truth = kalvex.sim.demo_scene_image()
    np.testing.assert_array_equal(truth, kalvex.sim.demo_scene_image())
    assert 34.0 <= truth[140, 421] <= 36.0  # the face
    assert truth[150, 100] < truth[20, 300] - 6.0  # the window colder than the wall
    sim.demo_scene()
    camera.load_table(table)
    a = camera.snap().temperatures()
    b = camera.snap().temperatures()
    noise = (a - b).std() / np.sqrt(2)
    assert 0.035 <= noise <= 0.065  # about 50 mK
    assert abs(float(np.median(a - truth))) <= 0.03
