"""Stitches many clips or folders of frames at once, spread over a Dask cluster.

    import zemb_batch
    results = zemb_batch.stitch_all(["a.mp4", "b.mp4", "frames/"], "out")

Each input (a video file, or a folder of images taken in name order) goes through a zemb.Sweep of
its own and is finished on a worker of a Dask distributed cluster: a LocalCluster on this machine by
default (one worker process per core, each running OpenCV on a single thread), or
the cluster whose scheduler address is given, which spreads the same job over machines. The inputs
must be readable by the workers at the same paths; the outputs come back to the caller as encoded
PNG files, so the workers need no shared folder to write into. A clip stitched in a batch gives the
same bytes as the same clip stitched alone with stitch_one().
"""

import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Iterator, Optional

import cv2
import numpy as np

import zemb

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"}


def read_frames(source) -> Iterator[np.ndarray]:
    """The frames of a folder of images (name order) or of a video file, as BGR images."""
    path = Path(source)
    if path.is_dir():
        for image_path in sorted(p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES):
            frame = cv2.imread(str(image_path), cv2.IMREAD_COLOR)
            if frame is None:
                raise ValueError(f"cannot read {image_path}")
            yield frame
        return
    video = cv2.VideoCapture(str(path))
    if not video.isOpened():
        raise ValueError(f"cannot open {path} as a video or a folder of images")
    try:
        while True:
            ok, frame = video.read()
            if not ok:
                return
            yield frame
    finally:
        video.release()


@dataclass
class StitchResult:
    """What became of one input: the files it gave (name -> PNG bytes) or why it gave none."""

    source: str
    frames: int = 0
    placed: int = 0
    keyframes: int = 0
    seconds: float = 0.0
    files: dict = field(default_factory=dict)
    error: Optional[str] = None

    @property
    def ok(self) -> bool:
        return self.error is None


def _encoded_png(image) -> bytes:
    ok, encoded = cv2.imencode(".png", image)
    if not ok:
        raise ValueError("cannot encode the panorama as PNG")
    return encoded.tobytes()


def _sweep_files(sweep) -> dict:
    """live.png always; finished.png once the sweep has two keyframes to render."""
    files = {"live.png": _encoded_png(sweep.preview())}
    if len(sweep.record().keyframes) >= 2:
        files["finished.png"] = _encoded_png(sweep.finish().panorama)
    return files


def stitch_one(source, options: Optional[dict] = None) -> StitchResult:
    """Stitches one input through a sweep and its finished render.

    `options` is a SweepOptions as a dict (SweepOptions.as_dict()), which crosses process and
    machine boundaries where the options object itself cannot. A failure (an unreadable input, no
    frame placed) comes back in the result's `error` rather than as an exception, so that one bad
    clip does not stop a batch.
    """
    result = StitchResult(source=str(source))
    start = time.perf_counter()
    sweep = zemb.Sweep(options=zemb.SweepOptions(**(options or {})))
    try:
        for frame in read_frames(source):
            result.frames += 1
            result.placed += sweep.add(frame).placed()
        if result.placed == 0:
            raise ValueError(f"no frame of {result.frames} could be placed")
        result.keyframes = len(sweep.record().keyframes)
        result.files = _sweep_files(sweep)
    except (ValueError, RuntimeError) as failure:
        result.error = str(failure)
    finally:
        sweep.remove_working_directory()
    result.seconds = time.perf_counter() - start
    return result


def output_names(sources: Iterable) -> list:
    """A folder name per input, from its name without suffix; repeated names are numbered."""
    names, seen = [], {}
    for source in sources:
        stem = Path(source).stem or "input"
        seen[stem] = seen.get(stem, 0) + 1
        names.append(stem if seen[stem] == 1 else f"{stem}_{seen[stem]}")
    return names


def write_result(result: StitchResult, folder: Path) -> list:
    """Writes a result's files into `folder`, created only when there is something to write."""
    if result.files:
        folder.mkdir(parents=True, exist_ok=True)
    written = []
    for name, data in result.files.items():
        path = folder / name
        path.write_bytes(data)
        written.append(path)
    return written


def _client(scheduler: Optional[str], workers: Optional[int]):
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                           processes=True, dashboard_address=None)
    client = Client(cluster)
    # One stitch would spread OpenCV's loops over every core; with a worker
    # per core that only makes them wait for each other.
    client.run(cv2.setNumThreads, 1)
    return client, cluster


def stitch_all(sources, output, options: Optional[dict] = None, scheduler: Optional[str] = None,
               workers: Optional[int] = None) -> list:
    """Stitches every input on a Dask cluster and writes each one's files into output/<name>/.

    `scheduler` is a scheduler's address (tcp://host:8786) to run on an existing cluster; without
    it a LocalCluster of `workers` single-threaded processes (one per core unless given) starts and
    stops with the call. Results come back in the order of `sources`.
    """
    sources = [str(source) for source in sources]
    zemb.SweepOptions(**(options or {})).check()  # a wrong option stops the batch here, not on every worker
    client, cluster = _client(scheduler, workers)
    try:
        futures = client.map(stitch_one, sources, options=options, pure=False)
        results = client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for result, name in zip(results, output_names(sources)):
        write_result(result, Path(output) / name)
    return results
