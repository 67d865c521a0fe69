"""zemb.Sweep, its record and zemb.render: what they report, what a record made in Python renders,
and the folder a sweep keeps its images in."""

import gc
import threading

import numpy as np
import pytest

import zemb


def test_sweep_reports_every_frame_and_finishes(flat_sweep, sweep_frames):
    sweep, statuses, finished = flat_sweep
    counts = sweep.counts()
    assert counts.frames == sum(counts.by_outcome) == len(sweep_frames)
    for kind in zemb.FrameOutcome.__members__.values():
        assert counts.count(kind) == counts.by_outcome[int(kind)] == [s.outcome for s in statuses].count(kind)
    keyframes = sweep.keyframes()
    assert [s.keyframe for s in statuses if s.keyframe >= 0] == list(range(len(keyframes))) == \
        list(range(counts.keyframes))
    assert [k.frame_index for k in keyframes] == [i for i, s in enumerate(statuses) if s.keyframe >= 0]
    for status in statuses:
        assert status.placed() and status.placement.shape == (3, 3) and not status.placement.flags.writeable
    assert all(0 <= link.from_ < link.to < len(keyframes) and link.from_points.shape == link.to_points.shape
               and link.from_points.dtype == np.float32 for link in sweep.links())
    assert zemb.outcome_name(statuses[0].outcome) == "accepted" and sweep.options().scene == zemb.Scene.FLAT
    preview = sweep.preview()
    assert sweep.preview_band().shape[0] <= preview.shape[0] and not preview.flags.writeable
    report = finished.report
    assert finished.panorama.shape == finished.mask.shape + (3,) and finished.panorama.flags.writeable
    assert report.size == finished.panorama.shape[1::-1] and finished.mask.max() == 255
    assert report.keyframes_used >= len(keyframes) >= 2
    assert report.refined == (report.model != zemb.RenderModel.LIVE)
    assert (report.fallback == zemb.RenderFallback.NONE) == (report.fallback_message == "")
    assert zemb.fallback_name(report.fallback) == "none"
    x, y, w, h = finished.crop
    assert finished.cropped().shape == (h, w, 3) and (finished.mask[y:y + h, x:x + w] == 255).all()
    assert zemb.largest_covered_rectangle(finished.mask) == finished.crop
    # A flat scene's keyframes are placed by plane transforms: no pixel has a ray.
    assert finished.projection.surface == zemb.PanoramaSurface.AUTO and finished.projection.turn_columns == 0


def test_the_largest_covered_rectangle_is_found_exactly():
    mask = np.zeros((7, 9), np.uint8)
    mask[1:6, 2:8] = 255
    mask[3, 4] = 0
    assert zemb.largest_covered_rectangle(mask) == (5, 1, 3, 5)
    assert zemb.largest_covered_rectangle(np.zeros((3, 3), np.uint8)) == (0, 0, 0, 0)
    with pytest.raises(ValueError):
        zemb.largest_covered_rectangle(np.zeros((3, 3, 3), np.uint8))


def same_panorama(first, second):
    return np.array_equal(first.panorama, second.panorama) and np.array_equal(first.mask, second.mask)


def test_a_record_made_in_python_renders_as_the_sweeps_own(flat_sweep):
    sweep, _, finished = flat_sweep
    record = sweep.record()
    count = len(record.keyframes)
    images = [record.image(index) for index in range(count)]
    assert same_panorama(zemb.render(record, sweep.options().render), finished)
    for image in (images, record.image, lambda index: np.array(images[index])):
        copy = zemb.SweepRecord(record.scene, record.keyframes, record.links, image)
        assert same_panorama(zemb.render(copy, sweep.options().render), finished)
    assert record.overlay is None and record.direction != zemb.Direction.AUTO
    assert not any(s.kept_motion for s in flat_sweep[1])  # a textured slide is fitted throughout
    # An overlay over the middle of every keyframe leaves it uncovered in the panorama.
    height, width = images[0].shape[:2]
    overlay = np.zeros((height, width), np.uint8)
    overlay[height // 3:2 * height // 3, :] = 255
    masked = zemb.SweepRecord(record.scene, record.keyframes, record.links, images, overlay, record.direction)
    assert np.array_equal(masked.overlay, overlay) and masked.direction == record.direction
    assert np.count_nonzero(zemb.render(masked, sweep.options().render).mask) < np.count_nonzero(finished.mask)
    keyframes = [zemb.Keyframe(k.frame_index, k.image_size, k.placement) for k in record.keyframes]
    links = [zemb.KeyframeLink(link.from_, link.to, link.from_points, link.to_points) for link in record.links]
    copy = zemb.SweepRecord(record.scene, keyframes, links, images)
    feathered = zemb.RenderOptions(blending=zemb.Blending.FEATHER)
    assert same_panorama(zemb.render(copy, feathered), sweep.finish(feathered))


def test_a_tiled_render_hands_over_the_panorama_tile_by_tile(flat_sweep):
    sweep, _, _ = flat_sweep
    options = zemb.RenderOptions(tile_size=128)
    single = zemb.render(sweep.record(), options)
    canvas = np.zeros_like(single.panorama)
    writes = np.zeros(single.panorama.shape[:2], int)
    tops = []

    def write(left, top, tile):
        canvas[top:top + tile.shape[0], left:left + tile.shape[1]] = tile
        writes[top:top + tile.shape[0], left:left + tile.shape[1]] += 1
        tops.append(top)

    report = zemb.render_tiled(sweep.record(), options, write)
    assert tops == sorted(tops) and len(tops) > 2
    assert (writes == 1).all()
    assert report.size == (canvas.shape[1], canvas.shape[0]) == single.report.size
    assert np.abs(canvas.astype(int) - single.panorama).max() <= 1

    def failing(left, top, tile):
        raise KeyError("from write")

    with pytest.raises(KeyError, match="from write"):
        zemb.render_tiled(sweep.record(), options, failing)
    with pytest.raises(TypeError):
        zemb.render_tiled(sweep.record(), options, None)


def test_a_record_refuses_what_it_cannot_render(flat_sweep):
    record = flat_sweep[0].record()
    keyframes, links, options = record.keyframes, record.links, zemb.RenderOptions()

    def failing(index):
        raise KeyError(index)

    with pytest.raises(KeyError):
        zemb.render(zemb.SweepRecord(record.scene, keyframes, links, failing), options)
    with pytest.raises(ValueError, match="8UC3"):
        zemb.render(zemb.SweepRecord(record.scene, keyframes, links, lambda index: np.zeros((4, 4), np.uint8)), options)
    for keyframe_list, link_list, image, error in [
            (keyframes, links, [record.image(0)], ValueError),  # one image for many keyframes
            (keyframes, links, record.image(0), TypeError)]:
        with pytest.raises(error):
            zemb.SweepRecord(record.scene, keyframe_list, link_list, image)
    with pytest.raises(ValueError, match="two keyframes"):
        zemb.render(zemb.SweepRecord(record.scene, keyframes[:1], [], record.image), options)
    with pytest.raises(ValueError, match="unpaired points"):
        zemb.render(zemb.SweepRecord(record.scene, keyframes, [zemb.KeyframeLink(0, 1, [[1, 2]], [])], record.image),
                    options)
    without_images = zemb.SweepRecord(record.scene, keyframes, links)
    with pytest.raises(ValueError, match="no way to read its images"):
        zemb.render(without_images, options)
    with pytest.raises(ValueError, match="without images"):
        without_images.image(0)
    with pytest.raises(IndexError):
        record.image(len(keyframes))


def listing(folder):
    return sorted((str(path.relative_to(folder)), path.read_bytes() if path.is_file() else None)
                  for path in folder.rglob("*"))


def test_a_sweep_keeps_to_its_own_folder(sweep_frames, tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "kept.txt").write_text("also mine")
    before = listing(tmp_path)
    spilling = zemb.SweepOptions(memory={"budget_bytes": 0})
    sweep = zemb.Sweep(tmp_path, spilling)
    for frame in sweep_frames[:12]:
        sweep.add(frame)
    folder = sweep.working_directory()
    assert folder.startswith(str(tmp_path) + "/") and sweep.counts().spilled == len(sweep.keyframes()) >= 2
    assert np.array_equal(sweep.keyframe_image(1), sweep.record().image(1))
    sweep.finish()
    sweep.remove_working_directory()
    assert listing(tmp_path) == before and sweep.working_directory() == ""
    with pytest.raises(RuntimeError, match="removed"):
        sweep.keyframe_image(1)
    with pytest.raises(IndexError):
        sweep.keyframe_image(-1)

    sweep = zemb.Sweep(tmp_path, spilling)
    for frame in sweep_frames[:6]:
        sweep.add(frame)
    record = sweep.record()
    del sweep
    gc.collect()
    assert len(listing(tmp_path)) > len(before)  # the record keeps the sweep, and so its folder
    del record
    gc.collect()
    assert listing(tmp_path) == before


def test_sweep_refuses_bad_frames_and_an_early_finish(sweep_frames):
    sweep = zemb.Sweep()
    assert sweep.add(sweep_frames[0]).placed()
    for frame in (sweep_frames[0][..., 0], None):
        with pytest.raises((ValueError, TypeError)):
            sweep.add(frame)
    assert sweep.counts().frames == 1
    # A frame of other proportions than the first cannot be tracked at its size.
    assert sweep.add(sweep_frames[0][:100]).outcome == zemb.FrameOutcome.NOT_PLACEABLE
    with pytest.raises(ValueError, match="two keyframes"):
        sweep.finish()


def test_a_counter_thread_advances_during_one_finish(flat_sweep):
    count, done = [0], threading.Event()

    def counter():
        while not done.is_set():
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    before = count[0]
    flat_sweep[0].finish()  # one call: the counter moves on only if it lets go of the GIL
    during = count[0] - before
    done.set()
    thread.join()
    assert during > 100
