"""Every failure raises the class of its event code, from real failures."""

import errno
import os
import subprocess
import sys

import pytest

import kalvex


def test_no_camera():
    with pytest.raises(kalvex.CameraNotAvailable) as caught:
        kalvex.Camera()
    assert caught.value.code == 2 and "camera not available" in str(caught.value)
    kalvex.sim.plug(0)
    with pytest.raises(kalvex.CameraNotAvailable):
        kalvex.Camera(3)
    with pytest.raises(ValueError):
        kalvex.Camera(8)


def test_unplug_mid_capture_ends_frames(sim, camera):
    with pytest.raises(kalvex.CaptureEnded):
        for count, _ in enumerate(camera.frames(), 1):
            if count == 3:
                sim.unplug()
    assert not camera.capturing


def test_save_errors(sim, camera, tmp_path):
    with pytest.raises(kalvex.NoFrame):
        camera.save(tmp_path / "a.png", "png")  # nothing captured yet
    camera.snap()
    with pytest.raises(kalvex.InvalidArgument) as caught:
        camera.save(tmp_path / "a.gif", "gif")
    assert isinstance(caught.value, ValueError) and caught.value.codes == ()
    with pytest.raises(ValueError):
        camera.save(tmp_path / "a", 14)
    with pytest.raises(kalvex.FileError) as caught:
        camera.save(tmp_path / "missing" / "a.png", "png")
    assert isinstance(caught.value, OSError) and caught.value.code == 9
    assert caught.value.errno == errno.ENOENT and "does not exist" in str(caught.value)
    with pytest.raises(kalvex.FileError) as caught:
        camera.save(tmp_path, "png")
    assert caught.value.errno == errno.EISDIR
    camera.save(tmp_path / "a.tiff", "tiff16")
    camera.save(tmp_path / "a.f32", 13)
    assert os.path.getsize(tmp_path / "a.f32") == 640 * 480 * 4
    with pytest.raises(kalvex.FileError):
        camera.load_table(tmp_path / "no-table.bin")
    with pytest.raises(ValueError):
        camera.frames(count=-1)


def test_recording(sim, camera, tmp_path):
    path = tmp_path / "run.raw16"
    frames = camera.frames(count=12)
    next(frames)
    with camera.record(path, "raw"):
        for _ in frames:
            pass
    assert not camera.params.recording
    size = os.path.getsize(path)
    assert size > 0 and size % (640 * 480 * 2) == 0
    with pytest.raises(kalvex.FileError):
        camera.start()
        with camera.record(tmp_path / "missing" / "run.avi"):
            camera.wait_frame()
            camera.wait_frame()


def test_library_not_found_lists_the_places_tried(tmp_path):
    code = "import kalvex\ntry:\n    kalvex.version()\nexcept kalvex.LibraryNotFound as e:\n" \
           "    print(e)\n"
    env = dict(os.environ, KALVEX_LIBRARY=str(tmp_path / "libkalvex.so.1"))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True, cwd=os.path.dirname(os.path.dirname(__file__)))
    assert str(tmp_path / "libkalvex.so.1") in out.stdout and "KALVEX_LIBRARY" in out.stdout
    # A folder: the library is looked for in it, and the report says so.
    env["KALVEX_LIBRARY"] = str(tmp_path)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True, cwd=os.path.dirname(os.path.dirname(__file__)))
    assert "not in the folder that KALVEX_LIBRARY names" in out.stdout, out.stdout
    assert "no such file" not in out.stdout
    env["KALVEX_LIBRARY"] = os.path.dirname(kalvex._library.lib()._kalvex_path)
    out = subprocess.run([sys.executable, "-c", "import kalvex; print(kalvex.version())"],
                         env=env, capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.dirname(__file__)))
    assert out.stdout.strip() == "2032717", out.stderr


def test_a_library_inside_the_package_is_found(tmp_path):
    import shutil

    package = tmp_path / "kalvex"
    shutil.copytree(os.path.dirname(kalvex.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    (package / "lib").mkdir(exist_ok=True)
    shutil.copy(kalvex._library.lib()._kalvex_path, package / "lib" / "libkalvex.so.1")
    env = {k: v for k, v in os.environ.items() if k != "KALVEX_LIBRARY"}
    code = "import kalvex; print(kalvex.version(), kalvex._library.lib()._kalvex_path)"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True)
    assert out.stdout.split() == ["2032717", str(package / "lib" / "libkalvex.so.1")], out.stderr
