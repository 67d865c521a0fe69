"""The free functions: the library's answers through numpy, inputs left alone, bad arguments refused."""

import numpy as np
import pytest

import zemb
from conftest import cv2


def test_frame_preparation_is_opencvs_bit_exact_reduction(sweep_frames):
    frame = sweep_frames[0]
    reduced, scale = zemb.image_resize(frame, 500)
    assert scale == pytest.approx(500 / 640) and reduced.shape == (281, 500, 3)
    assert np.array_equal(reduced, cv2.resize(frame, None, fx=scale, fy=scale, interpolation=cv2.INTER_LINEAR_EXACT))
    assert zemb.image_resize(frame, 1000, by_cols=False)[1] == 1.0
    assert zemb.frame_resize(frame)[0].shape == (300, 533, 3)
    gray = zemb.to_gray(frame)
    assert np.array_equal(gray, cv2.cvtColor(frame, cv2.COLOR_RGB2GRAY))
    assert np.array_equal(zemb.to_gray(gray), gray) and gray.flags.writeable
    for call in (lambda: zemb.image_resize(frame, 0), lambda: zemb.to_gray(frame[..., :2]),
                 lambda: zemb.frame_resize(frame[:0])):
        with pytest.raises(ValueError):
            call()


SQUARE = [[10, 10], [30, 10], [30, 30], [10, 30]]
OUTLINES = [  # box, convex, angle, covered share of a 40 x 40 image
    (SQUARE, True, 0.0, 441 / 1600),
    ([[10, 10], [30, 30], [30, 10], [10, 30]], False, 45.0, 0.0),  # crossed
    ([[0, 0], [20, 20], [20, 40], [0, 20]], True, 45.0, 441 / 1600),
    ([[10, 10], [30, 10], [30, 30], [10, float("nan")]], False, 0.0, 0.0),
]


@pytest.mark.parametrize("box, convex, angle, area", OUTLINES)
def test_outlines(box, convex, angle, area):
    assert zemb.is_convex(box) == convex
    assert zemb.calc_angle(np.array(box, np.float32)) == pytest.approx(angle, abs=1e-4)
    assert zemb.calc_area(box, (40, 40)) == pytest.approx(area, abs=0.02)
    assert zemb.calc_area(box, np.zeros((40, 40, 3), np.uint8)) == zemb.calc_area(box, (40, 40))
    assert zemb.is_good_green_box(box, (40, 40), 0.0, 90.0) == convex


def test_outline_arguments_refused():
    with pytest.raises(ValueError, match="at least four points"):
        zemb.calc_angle(SQUARE[:3])
    for box in (None, [1, 2, 3], np.zeros((4, 3))):
        with pytest.raises((TypeError, ValueError)):
            zemb.is_convex(box)


def test_optimize_seam_returns_a_repaired_copy():
    old = np.full((60, 60, 3), 200, np.uint8)
    new = np.zeros((60, 60, 3), np.uint8)
    new[:, 30:] = 50
    repaired = zemb.OptimizeSeam(old, new, np.array(SQUARE, np.float32) + 15)  # box 25..45
    assert (old == 200).all() and (new[:, :30] == 0).all() and (new[:, 30:] == 50).all()
    near_box = np.zeros((60, 60), bool)
    near_box[24:47, 24:47] = True
    assert np.array_equal(repaired[~near_box], new[~near_box])
    assert (repaired[25:45, 25:30] == 200).all()  # empty new pixels take the old ones
    assert ((repaired == old) | (repaired == new)).all() and (repaired[25:45, 30:45] == 200).any()
    with pytest.raises(ValueError, match="CV_8UC3"):
        zemb.OptimizeSeam(old[..., 0], new, SQUARE)


def test_matching_gives_records_of_rows():
    rng = np.random.default_rng(7)
    first = rng.random((40, 64), np.float32)
    order = rng.permutation(40)
    records = zemb.double_match(first, first[order], 0.2)
    assert records.shape == (40, 4) and records.dtype == np.float64
    assert np.array_equal(order[records[:, 1].astype(int)], records[:, 0].astype(int))
    assert np.array_equal(zemb.single_match(first, first[order], 0.2), records)
    assert zemb.single_match(first, first[:1], 0.2).shape == zemb.double_match(first[:0], first, 0.2).shape == (0, 4)
    as_bytes = (first * 255).astype(np.uint8)
    assert len(zemb.single_match(as_bytes, as_bytes, 0.2)) == 40
    for other in (first.astype(np.float64), first[:, :32], as_bytes, first[None]):
        with pytest.raises(ValueError):
            zemb.single_match(first, other, 0.2)


def test_directories(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "file").write_text("x")
    (tmp_path / "link").symlink_to(tmp_path / "sub")
    assert zemb.getFilePath(str(tmp_path) + "/", "sub") == str(tmp_path / "sub")
    assert zemb.isFloderexit(tmp_path / "link") and not zemb.isFloderexit(tmp_path / "sub" / "file")
    with pytest.raises(ValueError, match="null"):
        zemb.deleteFile(str(tmp_path) + "\0/sub")
    zemb.deleteFile(tmp_path)
    assert [p.name for p in tmp_path.iterdir()] == ["link"] and zemb.isFloderexit(tmp_path)
