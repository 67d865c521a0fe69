#!/usr/bin/env python3
"""What calling the stitcher through Python costs: per-frame time of zemb.ZembStitcher.ofcheck_stitch
on 1920x1080 frames against the same frames stitched by the zemb_pano program in C++.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_overhead.py [--runs N] [--zemb-pano PATH]

The frames are a 30-frame sweep cut from data/photos/life.jpg: the photo scaled to 1920 rows, a
1080-column window moved 40 px at a time, each window turned into camera orientation (a sweep
toward the frames' top edge). zemb_pano reads them from lossless PNG files, so both sides stitch
the same pixels, and times each ofcheck_stitch call (its --frames-csv). Besides C-contiguous
frames, Python is also timed on frames that are crops of wider images (viewed in place, no copy)
and on column-major frames (copied into a contiguous array on each call). Then the whole cost of
a call that does next to nothing: 16x16 frames without keypoints, which the stitcher refuses at
once. Last, four stitchers over the sweep, one after another and then on four threads at once:
with the GIL released while a frame is stitched, the threads take no longer in all.
"""

import argparse
import csv
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import cv2
import numpy as np

import zemb

ROOT = Path(__file__).resolve().parents[1]
PHOTO = ROOT / "data" / "photos" / "life.jpg"
FRAMES, STEP = 30, 40


def camera_frames():
    photo = cv2.imread(str(PHOTO))
    if photo is None:
        sys.exit(f"cannot read {PHOTO}")
    scale = 1920 / photo.shape[0]
    photo = cv2.resize(photo, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    return [np.ascontiguousarray(cv2.rotate(photo[:, i * STEP:i * STEP + 1080], cv2.ROTATE_90_COUNTERCLOCKWISE))
            for i in range(FRAMES)]


def crops_of_wider(frames):
    wider = [np.zeros((f.shape[0], f.shape[1] + 64, 3), np.uint8) for f in frames]
    for frame, image in zip(frames, wider):
        image[:, 32:32 + frame.shape[1]] = frame
    return [image[:, 32:32 + frame.shape[1]] for frame, image in zip(frames, wider)]


def python_pass(frames, workdir):
    """Results and seconds of each ofcheck_stitch call of a fresh stitcher over the frames."""
    stitcher = zemb.ZembStitcher(workdir)
    results, seconds = [], []
    for frame in frames:
        start = time.perf_counter()
        results.append(stitcher.ofcheck_stitch(frame))
        seconds.append(time.perf_counter() - start)
    return results, seconds


def cpp_pass(program, folder, workdir):
    """Results and seconds of each ofcheck_stitch call, as zemb_pano reports them."""
    Path(workdir).mkdir(exist_ok=True)
    table = Path(workdir) / "frames.csv"
    subprocess.run([str(program), str(folder), "-o", f"{workdir}/pano", "--frames-csv", str(table)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with table.open(newline="") as rows:
        frames = list(csv.DictReader(rows))
    return [int(row["count"]) for row in frames], [float(row["ms"]) / 1e3 for row in frames]


def median_per_frame(passes, unit):
    """Per frame, the median over the passes; then the median and the mean over the frames."""
    per_frame = [statistics.median(times) for times in zip(*passes)]
    return statistics.median(per_frame) * unit, statistics.fmean(per_frame) * unit


def table(title, figures):
    print(title)
    cpp_median = median_per_frame(next(iter(figures.values())), 1e3)[0]
    print(f"  {'way of calling':<42}{'median ms':>10}{'mean ms':>10}{'vs C++ ms':>11}")
    for name, passes in figures.items():
        median, mean = median_per_frame(passes, 1e3)
        print(f"  {name:<42}{median:>10.2f}{mean:>10.2f}{median - cpp_median:>+11.2f}")


def timed(ways, runs, workdir):
    """Seconds per call of every way, pass after pass; every way must give the first way's results."""
    figures, reference = {}, None
    for _ in range(runs):
        for name, way in ways.items():
            results, seconds = way(f"{workdir}/work")
            reference = reference or results
            if results != reference:
                sys.exit(f"{name}: results differ from those of {next(iter(ways))}")
            figures.setdefault(name, []).append(seconds)
    return figures, reference


def call_cost(runs, workdir):
    """Median seconds of one ofcheck_stitch call on a 16x16 frame without keypoints."""
    tiny = [np.zeros((16, 16, 3), np.uint8) for _ in range(1000)]
    return statistics.median(statistics.median(python_pass(tiny, f"{workdir}/tiny")[1]) for _ in range(runs))


def four_stitchers(frames, workdir):
    """Seconds for four stitchers over the frames, one after another and on four threads at once."""
    def run(index):
        python_pass(frames, f"{workdir}/thread{index}")

    start = time.perf_counter()
    for index in range(4):
        run(index)
    one_after_another = time.perf_counter() - start
    threads = [threading.Thread(target=run, args=(index,)) for index in range(4)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return one_after_another, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="passes over the sweep per way of calling")
    parser.add_argument("--zemb-pano", type=Path, default=ROOT / "build" / "release" / "apps" / "zemb_pano",
                        help="the zemb_pano program that gives the C++ figures (default: %(default)s)")
    args = parser.parse_args()
    if not args.zemb_pano.is_file():
        sys.exit(f"no zemb_pano at {args.zemb_pano}: build it (-DZEMB_BUILD_APPS=ON) or give --zemb-pano")
    frames = camera_frames()
    with tempfile.TemporaryDirectory() as workdir:
        folder = Path(workdir) / "frames"
        folder.mkdir()
        for index, frame in enumerate(frames):
            cv2.imwrite(str(folder / f"frame_{index:02d}.png"), frame)
        ways = {
            "C++ (zemb_pano --frames-csv)": lambda work: cpp_pass(args.zemb_pano, folder, work),
            "Python, contiguous frames": lambda work: python_pass(frames, work),
            "Python, crops of wider images (no copy)": lambda work: python_pass(crops_of_wider(frames), work),
            "Python, column-major frames (copied)": lambda work: python_pass(
                [np.asfortranarray(f) for f in frames], work),
        }
        figures, reference = timed(ways, args.runs, workdir)
        per_call = call_cost(args.runs, workdir)
        sequential, threaded = four_stitchers(frames, workdir)
    print(f"{FRAMES} frames of 1920x1080, {args.runs} passes, results identical in every pass "
          f"({sum(r >= 20 for r in reference)} placed)")
    table("Per frame:", figures)
    print(f"A call on a 16x16 frame without keypoints, refused at once: {per_call * 1e6:.2f} us through Python")
    print(f"Four stitchers over the sweep: {sequential:.2f} s one after another, {threaded:.2f} s on four threads "
          f"({threaded / sequential:.2f}x)")


if __name__ == "__main__":
    main()
