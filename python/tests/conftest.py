"""Shared fixtures: the bundled sample sweep, and a stitcher and a sweep run over it."""

import os
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
import zemb  # noqa: E402  (after the skip: the module needs numpy, as cv2 does)

SOURCE_DIR = Path(os.environ.get("ZEMB_SOURCE_DIR", Path(__file__).resolve().parents[2]))
SWEEP_DIR = SOURCE_DIR / "data" / "life_sweep"


@pytest.fixture(scope="session")
def sweep_frames():
    """The 30 frames of data/life_sweep (640x360, BGR), read-only so that no test changes them."""
    frames = [cv2.imread(str(path)) for path in sorted(SWEEP_DIR.glob("*.jpg"))]
    assert len(frames) == 30 and all(frame is not None for frame in frames)
    for frame in frames:
        frame.setflags(write=False)
    return frames


@pytest.fixture(scope="session")
def flat_sweep(sweep_frames):
    """A sweep over the sample frames as a flat scene, its statuses and its finished panorama."""
    sweep = zemb.Sweep(options=zemb.SweepOptions(scene=zemb.Scene.FLAT))
    statuses = [sweep.add(frame) for frame in sweep_frames]
    return sweep, statuses, sweep.finish()


def stitch_all(stitcher, frames):
    return [stitcher.ofcheck_stitch(frame) for frame in frames]


def outcome(stitcher):
    """What a run leaves: the panorama and band as bytes-equal copies, and the band's edges."""
    return (np.array(stitcher.panorama), np.array(stitcher.cropped),
            (stitcher.crop_top, stitcher.crop_bottom, stitcher.crop_right))


def assert_same_outcome(first, second):
    assert np.array_equal(first[0], second[0]) and np.array_equal(first[1], second[1])
    assert first[2] == second[2]
