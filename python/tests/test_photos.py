"""zemb.stitch_photos: a photo set stitched as one problem gives what the C++ call gives, in any order,
and names the photos it leaves out."""

import os
import subprocess

import pytest

from conftest import SWEEP_DIR, cv2, zemb


def photo_set(folder):
    """Every fourth frame of the sample sweep (a flat slide, about half a frame apart), written to `folder`."""
    folder.mkdir()
    for index, path in enumerate(sorted(SWEEP_DIR.glob("*.jpg"))[::4]):
        cv2.imwrite(str(folder / f"photo_{index:02d}.jpg"), cv2.imread(str(path)))
    return [cv2.imread(str(path)) for path in sorted(folder.glob("*.jpg"))]


def flat_options():
    return zemb.PhotoSetOptions(scene=zemb.Scene.FLAT)


def test_matches_cpp_on_a_photo_set(tmp_path):
    program = os.environ.get("ZEMB_PARITY_DUMP")
    if not program:
        pytest.skip("ZEMB_PARITY_DUMP is set by ctest to the C++ side of this test")
    photos = photo_set(tmp_path / "photos")
    out = tmp_path / "cpp"
    out.mkdir()
    subprocess.run([program, "--photos", str(tmp_path / "photos"), str(out)], check=True)
    result = zemb.stitch_photos(photos)
    assert result.report.placed == [int(line) for line in (out / "placed.txt").read_text().split()]
    assert (result.finished.panorama == cv2.imread(str(out / "finished.png"))).all()


def test_any_order_places_the_same_photos_and_names_a_stranger(tmp_path):
    photos = photo_set(tmp_path / "photos")
    stranger = cv2.resize(cv2.imread(str(SWEEP_DIR.parents[1] / "data" / "photos" / "path.jpg")),
                          (photos[0].shape[1], photos[0].shape[0]))
    order = [3, 0, 6, 2, 7, 1, 5, 4]
    shuffled = [photos[i] for i in order[:4]] + [stranger] + [photos[i] for i in order[4:]]
    result = zemb.stitch_photos(shuffled, flat_options())
    assert result.report.placed == [0, 1, 2, 3, 5, 6, 7, 8]
    assert [photo.index for photo in result.report.left_out] == [4]
    assert result.report.left_out[0].why in (zemb.PhotoLeftOut.NO_CONFIDENT_PAIR, zemb.PhotoLeftOut.FEW_FEATURES)
    assert "confidence" in result.report.left_out[0].message
    assert result.finished.panorama.shape[2] == 3 and result.finished.mask.shape == result.finished.panorama.shape[:2]


def test_refuses_what_is_no_photo_set(sweep_frames):
    with pytest.raises(ValueError):
        zemb.stitch_photos([sweep_frames[0]])
    with pytest.raises(ValueError):
        zemb.stitch_photos([sweep_frames[0], sweep_frames[1][:, :, 0]])
    with pytest.raises(ValueError):
        zemb.stitch_photos(sweep_frames[:2], zemb.PhotoSetOptions(matching={"min_inliers": 2}))
