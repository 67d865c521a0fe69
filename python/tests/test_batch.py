"""The batch front door: a local Dask cluster gives what stitching the inputs one by one gives."""

import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("dask.distributed")
import zemb_batch  # noqa: E402

from conftest import SWEEP_DIR  # noqa: E402


@pytest.fixture(scope="module")
def inputs(tmp_path_factory, sweep_frames):
    """The sample folder, a video of every other frame of it, and an input that does not exist."""
    folder = tmp_path_factory.mktemp("inputs")
    video_path = folder / "life_sweep.avi"  # same name as the folder: its output folder is numbered
    height, width = sweep_frames[0].shape[:2]
    video = cv2.VideoWriter(str(video_path), cv2.VideoWriter_fourcc(*"MJPG"), 10, (width, height))
    assert video.isOpened()
    for frame in sweep_frames[::2]:
        video.write(frame)
    video.release()
    return [SWEEP_DIR, video_path, folder / "missing.mp4"]


def test_a_local_cluster_gives_the_bytes_of_one_by_one_and_reports_what_failed(inputs, tmp_path):
    batch = zemb_batch.stitch_all(inputs, tmp_path, workers=2)
    alone = [zemb_batch.stitch_one(source) for source in inputs]

    assert [result.source for result in batch] == [str(source) for source in inputs]
    assert [result.ok for result in batch] == [True, True, False]
    assert "cannot open" in batch[2].error and not batch[2].files
    for together, single in zip(batch, alone):
        assert together.files == single.files
        assert (together.frames, together.placed, together.keyframes) == (
            single.frames, single.placed, single.keyframes)
    assert batch[0].frames == 30 and batch[1].frames == 15
    assert set(batch[0].files) == {"live.png", "finished.png"}
    for name, result in zip(["life_sweep", "life_sweep_2"], batch):
        for file_name, data in result.files.items():
            assert (tmp_path / name / file_name).read_bytes() == data
    assert not (tmp_path / "missing").exists()


def test_options_cross_as_a_dict_and_a_wrong_one_stops_the_batch_before_it_starts(tmp_path):
    import zemb

    flat = zemb.SweepOptions(scene=zemb.Scene.FLAT).as_dict()
    assert zemb_batch.stitch_one(SWEEP_DIR, flat).files != zemb_batch.stitch_one(SWEEP_DIR).files
    with pytest.raises((TypeError, ValueError)):
        zemb_batch.stitch_all([SWEEP_DIR], tmp_path, options={"no_such_option": 1}, scheduler="tcp://0.0.0.0:1")
    assert not any(tmp_path.iterdir())
