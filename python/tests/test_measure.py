"""Measuring and seeing over kalvex_measure.h: colours, regions, alarms and
recorded frames, on the simulated camera."""

import dataclasses
import math
import re
import time
from pathlib import Path

import numpy as np
import pytest

import kalvex
from kalvex import measure

_HEADER = Path(__file__).resolve().parents[2] / "include" / "kalvex_measure.h"
RECORDED = Path(__file__).parent / "data" / "two_pages.tiff"


@pytest.fixture
def cam(sim, table):
    """One delivery is enough where no callback is involved."""
    with kalvex.Camera() as camera:
        camera.params.nuc_hold_ms = 0
        camera.load_table(table)
        yield camera


def test_the_package_numbers_match_the_header():
    found = {n: int(v, 0) for n, v in re.findall(
        r"^#define (KALVEX_\w+)[\s\\]+(0x[0-9A-Fa-f]+|\d+)", _HEADER.read_text(), re.M)}
    assert found["KALVEX_WM_ALARM"] == measure.WM_ALARM
    for prefix, table in (("ROI", measure.ROI_KINDS), ("STAT", measure.STATISTICS),
                          ("AGC", measure.AGC), ("ISOTHERM", measure.ISOTHERM_MODES)):
        assert {f"KALVEX_{prefix}_{k.upper()}": v for k, v in table.items()}.items() \
            <= found.items(), prefix
    assert (found["KALVEX_ROI_MAX_VERTICES"], found["KALVEX_MAX_ALARMS"],
            found["KALVEX_PALETTE_CUSTOM"]) == (measure.ROI_MAX_VERTICES, measure.MAX_ALARMS,
                                                measure.PALETTE_CUSTOM)


def test_colours_palettes_contrast_isotherms_and_the_bar(sim, cam):
    sim.add_spot(320, 240, 150, 24.0)  # a large area 2 degrees over the background
    sim.add_spot(450, 240, 8, 60.0)
    sim.add_spot(580, 420, 10, -10.0)
    cam.snap()  # the auto range follows the scene from the next frame
    frame = cam.snap()
    bg, warm, hot = (240, 20), (240, 320), (240, 450)  # (row, column), top row first
    for order in ("rgb", "bgr"):  # the defaults through the library are its own colours
        np.testing.assert_array_equal(frame.color(order, palette="hue", agc="range"),
                                      frame.color(order))
    assert kalvex.palettes()[0] == "hue" and "ironbow" in kalvex.palettes()
    assert kalvex.palette_colors("ironbow")[48].tolist() == [32, 0, 140]
    white = frame.color(palette="white-hot")
    black = frame.color(palette="black-hot")
    assert white[bg][0] < white[warm][0] < white[hot][0]
    assert black[bg][0] > black[warm][0] > black[hot][0]
    custom = frame.color(palette=kalvex.palette_colors("white-hot"))
    np.testing.assert_array_equal(custom, white)
    plateau = frame.color(palette="white-hot", agc="plateau")
    assert int(white[warm][0]) - int(white[bg][0]) < 8
    assert int(plateau[warm][0]) - int(plateau[bg][0]) >= 40
    iso, bar = frame.color(palette="ironbow", isotherms=[kalvex.Isotherm.between(23.0, 25.0)],
                           bar=True)
    assert iso[warm].tolist() == [0, 255, 0] and iso[bg].tolist() != [0, 255, 0]
    assert bar.low < -10.0 and 60.0 < bar.high and bar.colors.shape == (256, 3)
    assert bar.colors[-1].tolist() == [255, 255, 255]
    linear = frame.color(palette="grey", agc="linear", tail_percent=0.5, damping=0.5, order="bgr")
    assert linear[hot][0] > linear[bg][0]

    for bad in (dict(palette="sepia"), dict(palette=np.zeros((255, 3), np.uint8)),
                dict(palette=np.full((256, 3), 256)), dict(agc="gamma"),
                dict(agc="linear", tail_percent=math.nan), dict(agc="linear", tail_percent="5"),
                dict(agc="linear", plateau_limit=10), dict(damping=0.5),
                dict(agc="plateau", damping=1.0),
                dict(isotherms=[kalvex.Isotherm.above(30.0)] * 5)):
        with pytest.raises(kalvex.InvalidArgument):
            frame.color(**bad)
    for bad_isotherm in (lambda: kalvex.Isotherm.above("hot"),
                         lambda: kalvex.Isotherm.between(30.0, 20.0),
                         lambda: kalvex.Isotherm.below(20.0, color=(0, 0, 300))):
        with pytest.raises(ValueError):
            bad_isotherm()


def test_regions_read_what_they_cover_with_their_own_emissivity(sim, table):
    sim.add_spot(320, 240, 30, 37.0)
    sim.add_spot(100, 50, 10, 80.0)  # upper left: frame coordinates have y = 0 at the top
    with kalvex.Camera() as camera:
        camera.params.nuc_hold_ms = 0
        box = kalvex.Roi.box(60, 20, 100, 70)
        empty = camera.snap().measure(box)  # without a table: no temperatures at all
        assert empty.count == 0 and empty.missing == 7000
        assert math.isnan(empty.max) and empty.hottest is None
        camera.load_table(table)
        frame = camera.snap()
        t = frame.temperatures()
        line = kalvex.Roi.line(0, 50, 639, 50)
        painted = kalvex.Roi.spot(320, 240, 12, emissivity=0.6)
        stats, along, grey, bare = frame.measure(
            [box, line, painted, kalvex.Roi.spot(320, 240, 12)])
        warmer = frame.measure(kalvex.Roi.spot(320, 240, 12, emissivity=0.6, reflected=30.0))
    inside = t[20:90, 60:160]
    assert stats.max == pytest.approx(80.0, abs=0.1) and stats.max == inside.max()
    assert (stats.min, stats.count, stats.missing) == (inside.min(), 7000, 0)
    assert stats.mean == pytest.approx(inside.mean(), abs=1e-3)
    assert stats.std == pytest.approx(inside.std(), abs=1e-3)
    # The first hottest and coldest pixels in reading order, as (x, y).
    y, x = np.unravel_index(np.argmax(inside), inside.shape)
    assert stats.hottest == (60 + x, 20 + y) and stats.coldest == (60, 20)
    np.testing.assert_array_equal(along.profile, t[50])
    assert box.kind == "box" and stats.roi is box and grey.profile is None

    assert bare.mean == pytest.approx(37.0, abs=0.1)
    scene = dataclasses.replace(kalvex.Scene.default(), emissivity=0.6)
    assert grey.max == kalvex.compensate(t[240:241, 320:321], scene)[0, 0]
    assert grey.mean > bare.mean + 5
    assert grey.difference(bare, "mean") == pytest.approx(grey.mean - bare.mean, abs=1e-4)
    assert warmer.mean < grey.mean - 1.0


def test_refusals_leave_everything_as_it_was(sim, cam):
    frame = cam.snap()
    for bad in (kalvex.Roi.box(635, 0, 10, 10), kalvex.Roi.box(10, 10, 0, 5),
                kalvex.Roi.spot(-1, 5), kalvex.Roi.polygon([(0, 0), (5, 5), (10, 10)]),
                kalvex.Roi.line(4, 4, 4, 4), kalvex.Roi.ellipse(320, 470, 20, 20)):
        with pytest.raises(kalvex.InvalidArgument) as caught:
            frame.measure(bad)
        assert isinstance(caught.value, ValueError) and caught.value.code == 5
        with pytest.raises(kalvex.InvalidArgument):
            cam.alarms.add(bad, "max", above=60.0)
    for make in (lambda: kalvex.Roi.polygon([(k, k % 2) for k in range(65)]),
                 lambda: kalvex.Roi.spot(1.5, 2), lambda: kalvex.Roi.spot(1, 2, emissivity=0),
                 lambda: kalvex.Roi.box(1, 2, 3, 4, emissivity="high"),
                 lambda: kalvex.Roi.box(2 ** 31, 0, 1, 1)):
        with pytest.raises(ValueError):
            make()
    box = kalvex.Roi.box(10, 10, 20, 20)
    for bad in (dict(above=math.nan), dict(above="60"), dict(above=60.0, below=10.0), dict(),
                dict(above=60.0, hysteresis=-1.0), dict(above=60.0, dwell_ms=-5)):
        with pytest.raises(kalvex.InvalidArgument):
            cam.alarms.add(box, "max", **bad)
    with pytest.raises(kalvex.InvalidArgument):
        cam.alarms.add(box, "median", above=60.0)
    assert len(cam.alarms) == 0
    alarms = [cam.alarms.add(box, "mean", below=0.0) for _ in range(measure.MAX_ALARMS)]
    with pytest.raises(kalvex.OutOfMemory):
        cam.alarms.add(box, "mean", below=0.0)
    alarms[0].remove()
    with pytest.raises(kalvex.InvalidArgument):
        alarms[0].remove()
    cam.alarms.clear()
    assert list(cam.alarms) == []
    cam.snap()
    with pytest.raises(kalvex.FrameExpired):  # the region was fine, the frame is gone
        frame.measure(box)
    with pytest.raises(kalvex.FrameExpired):
        frame.color(palette="ironbow")


def test_an_alarm_rises_after_its_dwell_and_clears_past_its_hysteresis(sim, table, camera):
    camera.load_table(table)
    events = []
    camera.on_alarm(events.append)
    box = kalvex.Roi.box(290, 210, 60, 60)
    quick = camera.alarms.add(box, "max", above=60.0, hysteresis=1.0)
    held = camera.alarms.add(box, "max", above=60.0, hysteresis=1.0, dwell_ms=100)
    later = camera.alarms.add(box, "max", above=60.0, dwell_ms=3_600_000)

    def show(celsius):
        """Frames until one shows celsius, then the next: the alarms of the first are out."""
        sim.clear_spots()
        sim.add_spot(320, 240, 20, celsius)
        for frame in frames_for_a_while():
            try:
                if frame.measure(box).max == pytest.approx(celsius, abs=0.05):
                    break
            except kalvex.FrameExpired:
                pass
        camera.wait_frame(after=frame)

    def frames_for_a_while():
        """Frames as they come; a guard against a hang, not a measure of time."""
        give_up = time.monotonic() + 20
        for frame in camera.frames(timeout=10):
            assert time.monotonic() < give_up
            yield frame

    def taken(alarm):
        news = [(e.active, round(e.value, 2)) for e in events if e.alarm is alarm]
        assert all(e.roi is box for e in events)
        return news

    camera.start()
    show(50.0)
    assert events == []
    show(65.0)
    assert taken(quick) == [(True, 65.0)] and quick.active
    for frame in frames_for_a_while():  # until the dwell has passed
        if taken(held):
            break
    rise = [e for e in events if e.alarm is held][0]
    assert rise.active and rise.time_ms - rise.since_ms >= 100
    show(59.5)  # below the threshold, within the hysteresis
    assert taken(quick) == [(True, 65.0)] and quick.active
    show(58.75)
    assert taken(quick) == taken(held) == [(True, 65.0), (False, 58.75)]
    assert taken(later) == [] and not later.active
    quick.remove()
    show(65.0)  # it would have risen at once
    assert quick not in camera.alarms and len(taken(quick)) == 2
    cold = camera.alarms.add(box, "max", below=60.0)
    camera.remove_callback(events.append)
    show(50.0)
    assert cold.active and taken(cold) == []
    camera.stop()


def test_a_recorded_frame_is_measured_like_a_live_one():
    # A flat 30.0 deg C, pixel (0, 0) without a temperature.
    with kalvex.open_sequence(RECORDED) as seq:
        frame = seq[0]
        corner, line, painted = frame.measure(
            [kalvex.Roi.box(0, 0, 4, 4), kalvex.Roi.line(0, 0, 9, 0, emissivity=0.6),
             kalvex.Roi.spot(5, 5, 2, emissivity=0.6)])
        assert (corner.count, corner.missing, corner.max) == (15, 1, pytest.approx(30.0))
        assert corner.hottest == corner.coldest == (1, 0)
        grey = frame.temperatures(dataclasses.replace(frame.info.scene, emissivity=0.6))
        assert painted.mean == pytest.approx(grey[5, 5], abs=1e-3)
        assert line.profile[0] == -999.0
        np.testing.assert_allclose(line.profile[1:], grey[0, 1:10], atol=1e-3)
        with pytest.raises(kalvex.InvalidArgument):
            frame.measure(kalvex.Roi.box(630, 0, 20, 20))


def test_a_recorded_frame_is_coloured_like_the_live_one(sim, cam, tmp_path):
    sim.add_spot(320, 240, 40, 60.0)
    sim.add_spot(100, 80, 20, 35.0)
    path = tmp_path / "run.tiff"
    hot = kalvex.Isotherm.above(50.0, color=(0, 0, 255))
    live = {}
    frames = cam.frames(count=6)
    next(frames)  # the automatic range settles on the still scene
    with cam.record(path, "seq"):
        for frame in frames:
            live[frame.sequence] = (frame.color(palette="ironbow", agc="plateau", isotherms=hot,
                                                bar=True), frame.color("bgr"))
    cam.stop()
    with kalvex.open_sequence(path) as seq:
        compared = 0
        for frame in seq:
            if frame.sequence not in live:
                continue
            (image, bar), own = live[frame.sequence]
            again, bar_again = frame.color(palette="ironbow", agc="plateau", isotherms=hot,
                                           bar=True)
            np.testing.assert_array_equal(again, image)
            np.testing.assert_array_equal(bar_again.colors, bar.colors)
            assert (bar_again.low, bar_again.high) == (bar.low, bar.high)
            np.testing.assert_array_equal(frame.color("bgr"), own)
            compared += 1
        assert compared >= 3
        assert tuple(again[240, 320]) == (0, 0, 255) and tuple(again[80, 100]) != (0, 0, 255)
        with pytest.raises(kalvex.InvalidArgument):
            seq[0].color(palette="sepia")
        with pytest.raises(kalvex.InvalidArgument):
            seq[0].color(out=np.empty((480, 640, 3), np.uint16))
