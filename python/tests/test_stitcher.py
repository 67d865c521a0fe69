"""zemb.ZembStitcher against the C++ stitcher, with bad frames, held panoramas, threads and last_status."""

import os
import subprocess
import threading

import numpy as np
import pytest

import zemb
from conftest import SOURCE_DIR, SWEEP_DIR, assert_same_outcome, cv2, outcome, stitch_all


def layouts(frame):
    """The frame as arrays of several memory layouts, all showing the same pixels."""
    wide = np.zeros((frame.shape[0], frame.shape[1] + 50, 3), np.uint8)
    wide[:, 20:20 + frame.shape[1]] = frame
    return {
        "contiguous": frame,
        "crop of a wider image": wide[:, 20:20 + frame.shape[1]],  # a row step, viewed in place
        "column-major": np.asfortranarray(frame),  # pixels apart: copied
        "channel view": np.dstack([frame, frame[..., :1]])[..., :3],  # pixels 4 bytes apart: copied
    }


def run_cpp(folder, out):
    """Results, panorama and band of the C++ stitcher over the frames in `folder`."""
    program = os.environ.get("ZEMB_PARITY_DUMP")
    if not program:
        pytest.skip("ZEMB_PARITY_DUMP is set by ctest to the C++ side of this test")
    out.mkdir(exist_ok=True)
    subprocess.run([program, str(folder), str(out)], check=True)
    results = [int(line) for line in (out / "results.txt").read_text().split()]
    return results, cv2.imread(str(out / "panorama.png")), cv2.imread(str(out / "cropped.png"))


@pytest.fixture(scope="module")
def cpp_run(tmp_path_factory):
    return run_cpp(SWEEP_DIR, tmp_path_factory.mktemp("cpp"))


@pytest.mark.parametrize("photo", ["path.jpg", "eveningglow.jpg"])
def test_matches_cpp_on_a_sweep_over_a_photo(tmp_path, photo):
    """A sweep cut from a bundled photo, stitched by both from the same decoded frames."""
    image = cv2.imread(str(SOURCE_DIR / "data" / "photos" / photo))
    scale = 720 / image.shape[0]
    image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    folder = tmp_path / "frames"
    folder.mkdir()
    for i in range(20):
        window = image[(image.shape[0] - 640) // 2:(image.shape[0] + 640) // 2, 30 * i:30 * i + 360]
        cv2.imwrite(str(folder / f"frame_{i:02d}.jpg"), cv2.rotate(window, cv2.ROTATE_90_COUNTERCLOCKWISE))
    frames = [cv2.imread(str(path)) for path in sorted(folder.glob("*.jpg"))]
    results, panorama, cropped = run_cpp(folder, tmp_path / "cpp")
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    assert stitch_all(stitcher, frames) == results
    assert np.array_equal(stitcher.panorama, panorama) and np.array_equal(stitcher.cropped, cropped)


@pytest.mark.parametrize("layout", ["contiguous", "crop of a wider image", "column-major", "channel view"])
def test_matches_cpp_for_every_memory_layout(cpp_run, sweep_frames, tmp_path, layout):
    frames = [layouts(frame)[layout] for frame in sweep_frames]
    before = [frame.copy() for frame in frames]
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    assert stitch_all(stitcher, frames) == cpp_run[0]
    assert np.array_equal(stitcher.panorama, cpp_run[1]) and np.array_equal(stitcher.cropped, cpp_run[2])
    assert all(np.array_equal(frame, kept) for frame, kept in zip(frames, before))


BAD_FRAMES = [
    (None, TypeError, "numpy array"),
    ([[1, 2, 3]], TypeError, "numpy array"),
    (np.zeros((360, 640), np.uint8), ValueError, "CV_8UC1"),
    (np.zeros((360, 640, 4), np.uint8), ValueError, "CV_8UC4"),
    (np.zeros((360, 640, 3), np.float32), ValueError, "CV_32FC3"),
    (np.zeros((360, 640, 3), np.int64), ValueError, "dtype int64"),
    (np.zeros((360, 640, 3), ">u2"), ValueError, "dtype >u2"),
    (np.zeros((360, 640, 3), bool), ValueError, "dtype bool"),
    (np.zeros((0, 640, 3), np.uint8), ValueError, "empty"),
    (np.zeros((360, 640, 3, 1), np.uint8), ValueError, "4 dimensions"),
    (np.zeros((360, 640, 600), np.uint8), ValueError, "600 channels"),
    (np.zeros((640, 360, 3), np.uint8), ValueError, "first frame's size 640x360"),
]


def test_bad_frames_raise_and_change_nothing(sweep_frames, tmp_path):
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    stitch_all(stitcher, sweep_frames[:3])
    before = outcome(stitcher)
    for count, (frame, error, message) in enumerate(BAD_FRAMES, start=4):
        with pytest.raises(error, match=message):
            stitcher.ofcheck_stitch(frame)
        assert stitcher.frame_count == count and stitcher.state == 3
    assert_same_outcome(outcome(stitcher), before)
    assert stitcher.ofcheck_stitch(sweep_frames[3]) >= 20


def memory_range(array):
    return np.byte_bounds(array)


def overlaps(first, second):
    return first[0] < second[1] and second[0] < first[1]


def test_held_panorama_keeps_its_pixels_and_a_dropped_one_is_grown_in_place(sweep_frames, tmp_path):
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    stitch_all(stitcher, sweep_frames[:2])
    held = []
    for frame in sweep_frames[2:16]:
        held.append((stitcher.panorama, np.array(stitcher.panorama)))
        stitcher.ofcheck_stitch(frame)
        assert not any(overlaps(memory_range(stitcher.panorama), memory_range(view)) for view, _ in held)
    assert all(np.array_equal(view, copy) for view, copy in held)
    with pytest.raises(ValueError, match="read-only"):
        held[0][0][0, 0] = 1
    del held
    grown_in_place = 0
    for frame in sweep_frames[16:]:
        before = memory_range(stitcher.panorama)  # the array itself is dropped at once
        stitcher.ofcheck_stitch(frame)
        grown_in_place += overlaps(before, memory_range(stitcher.panorama))
    assert grown_in_place >= len(sweep_frames[16:]) - 2  # a buffer may run out of room once or twice


def run_in_threads(work):
    """Runs each callable on a thread of its own; the first failure of any is raised here."""
    failures = []

    def run(item):
        try:
            item()
        except BaseException as failure:  # noqa: B036 - handed to the test's thread
            failures.append(failure)

    threads = [threading.Thread(target=run, args=(item,)) for item in work]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def test_four_stitchers_on_four_threads_give_what_they_give_alone(sweep_frames, tmp_path):
    sweeps = [sweep_frames, sweep_frames[::2], sweep_frames[1::2], sweep_frames[::3]]

    def run(index, frames, into):
        stitcher = zemb.ZembStitcher(tmp_path / f"work{index}")
        into[index] = (stitch_all(stitcher, frames), outcome(stitcher))

    alone, together = {}, {}
    for index, frames in enumerate(sweeps):
        run(index, frames, alone)
    run_in_threads([lambda i=i, f=f: run(i, f, together) for i, f in enumerate(sweeps)])
    for index in range(len(sweeps)):
        assert together[index][0] == alone[index][0]
        assert_same_outcome(together[index][1], alone[index][1])


def test_a_thread_runs_while_another_stitches_and_every_call_is_counted(sweep_frames, tmp_path):
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    probe = np.zeros((1, 1, 3), np.float32)  # BUSY while a frame is being stitched, else refused
    fed, answers, feed_calls = threading.Event(), [], [0]

    def feed():
        try:
            for frame in sweep_frames:
                feed_calls[0] += 1
                while stitcher.ofcheck_stitch(frame) == zemb.BUSY:  # the probe was in: the frame goes again
                    feed_calls[0] += 1
        finally:
            fed.set()

    def probe_while_fed():
        # BUSY means this thread ran Python code while the other was inside
        # ofcheck_stitch(), which only a call that releases the GIL allows.
        while not fed.is_set():
            try:
                answers.append(stitcher.ofcheck_stitch(probe))
            except ValueError:
                answers.append(None)

    def read():
        while not fed.is_set():
            assert stitcher.panorama.shape[2] == 3 and stitcher.cropped.shape[2] == 3

    run_in_threads([feed, probe_while_fed, read])
    assert zemb.BUSY in answers
    assert stitcher.frame_count == feed_calls[0] + len(answers)
    alone = zemb.ZembStitcher(tmp_path / "alone")
    stitch_all(alone, sweep_frames)
    assert_same_outcome(outcome(stitcher), outcome(alone))


EXPECTED_OUTCOME = {zemb.NOT_EXTENDED: zemb.FrameOutcome.NOT_EXTENDED, 0: zemb.FrameOutcome.TOO_FEW_KEYPOINTS}


def test_last_status_tells_each_result_and_keeps_it_through_a_refused_frame(sweep_frames, tmp_path):
    stitcher = zemb.ZembStitcher(tmp_path / "work")
    before = zemb.last_status(stitcher)
    assert before.placement is None and not before.placed() and before.count == 0
    black = np.zeros_like(sweep_frames[0])
    for frame in sweep_frames[:4] + [sweep_frames[1], black]:  # going back is not extended; black has no keypoints
        result = stitcher.ofcheck_stitch(frame)
        status = zemb.last_status(stitcher)
        assert status.count == result and status.placed() == (result >= 20)
        assert status.outcome == EXPECTED_OUTCOME.get(result, zemb.FrameOutcome.ACCEPTED)
        assert (status.placement is not None) == status.placed()
        if status.placed():
            assert status.placement.shape == (3, 3) and status.placement.dtype == np.float64
            assert not status.placement.flags.writeable and len(status.canvas_shift) == 2
    with pytest.raises(ValueError):
        stitcher.ofcheck_stitch(black[:10])
    assert repr(zemb.last_status(stitcher)) == repr(status)
