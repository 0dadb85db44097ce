"""Camera.stats: the frame rate from the frames' own times and the frames not
delivered (lost, held by a NUC's hold, paused), counted as the kalvex tool and
its viewer count them (tools/common/frame_counts.cpp; the same cases are in
tests/tools/frame_counts_test.cpp)."""

import time

import pytest

import kalvex
from kalvex.camera import _FrameCounts

NO_NUC = 0xFFFFFFFF
FRAME_NS = 1_000_000_000 // 30


class FakeCamera:
    """A camera at 30 frames a second whose frames the library takes one by one."""

    def __init__(self, ns=1_000_000_000):
        self.sequence = self.camera = 0
        self.since_nuc = None
        self.ns = ns

    def next(self, taken=True):
        self.camera += 1
        self.ns += FRAME_NS
        if taken:
            self.sequence += 1
            if self.since_nuc is not None:
                self.since_nuc += 1
        since = NO_NUC if self.since_nuc is None else self.since_nuc - 1
        return (self.sequence, self.camera, self.ns, since)

    def nuc(self):
        self.since_nuc = 0


def test_every_nuc_adds_its_hold_and_the_rate_leaves_holds_out():
    counts, cam = _FrameCounts(), FakeCamera()
    cam.nuc()
    for _ in range(36):
        cam.next()
    for _ in range(30):
        counts.read(*cam.next())
    cam.nuc()
    for _ in range(36):
        cam.next()
    for _ in range(30):
        counts.read(*cam.next())
    stats = counts.stats()
    assert (stats.lost, stats.held, stats.paused, stats.dropped) == (0, 72, 0, 72)
    assert stats.fps == pytest.approx(30.0)


def test_a_pause_adds_the_frames_the_camera_sent_meanwhile():
    counts, cam = _FrameCounts(), FakeCamera()
    assert counts.stats().fps is None
    for _ in range(10):
        counts.read(*cam.next())
    queued1, queued2 = cam.next(), cam.next()  # published before the pause, read after
    for _ in range(90):
        cam.next(taken=False)
    counts.resuming(queued2[2])
    counts.read(*queued1)
    counts.read(*queued2)
    assert counts.stats().paused == 0
    counts.read(*cam.next())
    for _ in range(10):
        counts.read(*cam.next())
    cam.next(taken=False)  # not a pause's
    counts.read(*cam.next())
    stats = counts.stats()
    assert (stats.lost, stats.held, stats.paused, stats.dropped) == (1, 0, 90, 91)
    assert stats.fps == pytest.approx(30.0 * 22 / 23)


def test_overwritten_skipped_and_untaken_frames_are_lost():
    counts, cam = _FrameCounts(), FakeCamera()
    counts.read(*cam.next())
    cam.next(), cam.next()
    counts.overwritten(), counts.overwritten()
    assert counts.stats().lost == 2
    counts.read(*cam.next())
    for _ in range(4):
        cam.next()  # published, never announced (a poll that came late)
    counts.read(*cam.next())
    for _ in range(3):
        cam.next(taken=False)
    counts.read(*cam.next())
    stats = counts.stats()
    assert (stats.lost, stats.held, stats.paused) == (9, 0, 0)
    assert stats.fps == pytest.approx(30.0 * 9 / 12)


def test_smaller_sequence_numbers_begin_a_run_without_a_rate_across_the_gap():
    counts, cam = _FrameCounts(), FakeCamera()
    for _ in range(30):
        counts.read(*cam.next())
    # Numbers from 1 again, a minute later (Camera.start() resets the counts
    # anyway; a frame of the run before may still be queued then).
    again = FakeCamera(cam.ns + 60_000_000_000)
    for _ in range(30):
        counts.read(*again.next())
    stats = counts.stats()
    assert (stats.lost, stats.held, stats.paused) == (0, 0, 0)
    assert stats.fps == pytest.approx(30.0)


def test_stats_of_a_capture_with_a_nuc_and_a_pause(sim, delivery):
    sim.frame_rate = 30
    with kalvex.Camera(delivery=delivery) as camera:
        camera.params.nuc_hold_ms = 300
        assert camera.stats == kalvex.CaptureStats(0, None, 0, 0, 0, 0)
        camera.start()
        for _ in range(5):
            camera.wait_frame()
        camera.nuc()  # 0.3 s at 30 frames a second: about 9 frames held back
        deadline = time.monotonic() + 10
        while camera.stats.held == 0 and time.monotonic() < deadline:
            camera.wait_frame()
        held = camera.stats.held
        assert 3 <= held <= 15, camera.stats
        for _ in range(3):
            camera.wait_frame()
        camera.pause()
        time.sleep(0.1)  # a frame under way when the pause came
        before = camera.stats
        served = sim.counters.frames_served
        time.sleep(1.0)
        sent = sim.counters.frames_served - served  # about 30
        camera.resume()
        for _ in range(5):
            camera.wait_frame()
        stats = camera.stats
        camera.stop()
    assert sent >= 10
    assert sent - 1 <= stats.paused - before.paused <= sent + 6, (sent, before, stats)
    assert stats.lost - before.lost < sent // 2, (before, stats)  # not lost as well
    assert stats.held == held
    assert stats.dropped == stats.lost + stats.held + stats.paused
    assert stats.fps is not None and 10 < stats.fps < 45, stats
    assert stats.frames >= 13


def test_start_begins_new_counts(sim, camera):
    for _ in camera.frames(count=3):
        pass
    assert camera.stats.frames >= 3
    camera.start()
    assert camera.stats.frames <= 1
    camera.stop()
