"""zemb.SweepOptions and zemb.Sweep (skipped while the library has no sweep)."""

import threading

import numpy as np
import pytest

import zemb

needs_sweep = pytest.mark.skipif(not hasattr(zemb, "Sweep"), reason="this build of zemb has no Sweep")


def test_options_take_keywords_and_check_ranges():
    options = zemb.SweepOptions(fast_threshold=30, scene=zemb.Scene.FLAT, recovery=False)
    assert (options.fast_threshold, options.scene, options.recovery) == (30, zemb.Scene.FLAT, False)
    assert options == zemb.SweepOptions(**options.as_dict()) and options != zemb.SweepOptions()
    options.check()
    with pytest.raises(TypeError, match="no field 'fast'"):
        zemb.SweepOptions(fast=3)
    with pytest.raises(TypeError):
        zemb.SweepOptions(working_columns="wide")
    with pytest.raises(ValueError, match="working_columns"):
        zemb.SweepOptions(working_columns=-1).check()


@needs_sweep
def test_sweep_reports_every_frame_and_finishes(sweep_frames, tmp_path):
    sweep = zemb.Sweep(tmp_path / "sweep", zemb.SweepOptions(scene=zemb.Scene.FLAT))
    statuses = [sweep.add(frame) for frame in sweep_frames]
    counts = sweep.counts
    assert counts.frames == sum(counts.by_outcome) == len(sweep_frames)
    for kind in (zemb.FrameOutcome.ACCEPTED, zemb.FrameOutcome.NOT_EXTENDED):
        assert counts.count(kind) == counts.by_outcome[int(kind)] == [s.outcome for s in statuses].count(kind)
    keyframes = [status.keyframe for status in statuses if status.keyframe >= 0]
    assert keyframes == list(range(sweep.keyframe_count)) and sweep.keyframe_count == counts.keyframes >= 2
    preview, band = sweep.preview, sweep.preview_band
    assert preview.ndim == 3 and band.shape[0] <= preview.shape[0] and not preview.flags.writeable
    assert sweep.options.scene == zemb.Scene.FLAT
    panorama, mask, report = sweep.finish()
    assert panorama.shape == mask.shape + (3,) and report.size == (panorama.shape[1], panorama.shape[0])
    assert mask.dtype == np.uint8 and mask.max() == 255 and report.keyframes_used >= 2
    assert report.refined == (report.fallback_reason == "") and panorama.flags.writeable
    sweep.remove_working_directory()
    assert not (tmp_path / "sweep").exists()


@needs_sweep
def test_sweep_refuses_bad_frames_and_an_early_finish(sweep_frames, tmp_path):
    sweep = zemb.Sweep(tmp_path / "sweep")
    assert sweep.add(sweep_frames[0]).placed
    for frame in (sweep_frames[0][:100], sweep_frames[0][..., 0], None):
        with pytest.raises((ValueError, TypeError)):
            sweep.add(frame)
    assert sweep.counts.frames == 1
    with pytest.raises(ValueError):
        sweep.finish()
    with pytest.raises(ValueError, match="working_columns"):
        zemb.Sweep(tmp_path / "other", zemb.SweepOptions(working_columns=-1))


@needs_sweep
def test_a_counter_thread_advances_during_one_finish(sweep_frames, tmp_path):
    sweep = zemb.Sweep(tmp_path / "sweep", zemb.SweepOptions(scene=zemb.Scene.FLAT))
    for frame in sweep_frames:
        sweep.add(frame)
    count, done = [0], threading.Event()

    def counter():
        while not done.is_set():
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    before = count[0]
    sweep.finish()  # one call: the counter moves on only if it lets go of the GIL
    during = count[0] - before
    done.set()
    thread.join()
    assert during > 100
