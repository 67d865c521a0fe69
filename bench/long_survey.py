#!/usr/bin/env python3
"""Long scans: a serpentine survey of a few thousand frames over a flat scene, run through
`zemb_pano --finish --scene flat`, to show that a frame costs as much at the end as near the start,
that memory stays bounded and that the finish grows with the keyframes, not faster.

    /usr/bin/python3 bench/long_survey.py [--frames N ...] [--zemb-pano PATH] [--photo PATH]

The scene is data/photos/life.jpg scaled 4 times (12352 x 8224). The camera, 640 x 360, passes
over it in rows of 400 frames, 8 pixels a frame, left to right and back, stepping 160 pixels down between rows
(as a survey drone flies); each --frames value gives one survey of about that many frames (default
1000 and 2000). For each it prints the median and mean time of frames 100-200 and of the last 100
(from zemb_pano's --frames-csv), their ratio, the peak memory of the whole run (zemb_pano's own
maximum resident set), the keyframes, the finish time and the finished panorama's size against the scene's.
"""

import argparse
import csv
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parents[1]
FRAME_WIDTH, FRAME_HEIGHT = 640, 360
STEP, ROW_STEP, ROW_FRAMES, SCALE = 8, 160, 400, 4.0


def survey_path(frames, scene_width):
    """Top-left corners of each frame: rows of up to 400 frames, the turns between them."""
    per_row = min((scene_width - FRAME_WIDTH) // STEP, ROW_FRAMES)
    rows = max(1, round(frames / (per_row + ROW_STEP // STEP)))
    corners, top = [], 0
    for row in range(rows):
        xs = [i * STEP for i in range(per_row)]
        corners += [(x, top) for x in (xs if row % 2 == 0 else xs[::-1])]
        if row + 1 < rows:
            turn_x = corners[-1][0]
            corners += [(turn_x, top + k * STEP) for k in range(1, ROW_STEP // STEP + 1)]
            top += ROW_STEP
    return corners


def write_survey(photo, frames, folder):
    corners = survey_path(frames, photo.shape[1])
    for index, (x, y) in enumerate(corners):
        cut = photo[y:y + FRAME_HEIGHT, x:x + FRAME_WIDTH]
        if not cv2.imwrite(str(folder / f"frame_{index:05d}.jpg"), cut, [cv2.IMWRITE_JPEG_QUALITY, 90]):
            sys.exit(f"cannot write a frame into {folder}")
    xs, ys = zip(*corners)
    return len(corners), (max(xs) + FRAME_WIDTH, max(ys) + FRAME_HEIGHT)


def frame_times(csv_path):
    with open(csv_path) as rows:
        return [float(row["ms"]) for row in csv.DictReader(rows)]


def summary_value(output, label):
    for line in output.splitlines():
        if line.startswith(label):
            return line[len(label):].strip()
    return "?"


def run_zemb_pano(command, scratch):
    """Runs zemb_pano; returns its summary (stdout) and its own peak resident memory in KB."""
    with open(scratch / "stdout", "w+") as stdout, open(scratch / "stderr", "w+") as stderr:
        child = subprocess.Popen(command, stdout=stdout, stderr=stderr)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        stdout.seek(0)
        stderr.seek(0)
        if child.returncode != 0:
            sys.exit(f"zemb_pano failed ({child.returncode}):\n{stderr.read()[-2000:]}")
        return stdout.read(), usage.ru_maxrss


def run_survey(zemb_pano, photo, frames, scratch):
    folder = scratch / f"survey_{frames}"
    folder.mkdir()
    count, scene = write_survey(photo, frames, folder)
    csv_path = scratch / f"survey_{frames}.csv"
    summary, peak_kb = run_zemb_pano([zemb_pano, str(folder), "--finish", "--scene", "flat",
                                      "-o", str(scratch / f"out_{frames}"), "--frames-csv", str(csv_path)], scratch)
    times = frame_times(csv_path)
    early, late = times[100:200], times[-100:]
    print(f"{count} frames over a {scene[0]} x {scene[1]} scene:")
    print(f"  frames 100-200  median {statistics.median(early):.2f} ms, mean {statistics.mean(early):.2f} ms")
    print(f"  last 100        median {statistics.median(late):.2f} ms, mean {statistics.mean(late):.2f} ms"
          f"  (mean ratio {statistics.mean(late) / statistics.mean(early):.2f})")
    print(f"  peak memory     {peak_kb / 1024:.0f} MB")
    for label in ("keyframes", "finish time", "finished panorama"):
        print(f"  {label:<15} {summary_value(summary, label)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, nargs="+", default=[1000, 2000], help="frames of each survey")
    parser.add_argument("--zemb-pano", default=str(ROOT / "build" / "release" / "apps" / "zemb_pano"))
    parser.add_argument("--photo", default=str(ROOT / "data" / "photos" / "life.jpg"))
    args = parser.parse_args()
    photo = cv2.imread(args.photo, cv2.IMREAD_COLOR)
    if photo is None:
        sys.exit(f"cannot read {args.photo}")
    photo = cv2.resize(photo, None, fx=SCALE, fy=SCALE, interpolation=cv2.INTER_CUBIC)
    with tempfile.TemporaryDirectory() as scratch:
        for frames in sorted(args.frames):
            run_survey(args.zemb_pano, photo, frames, Path(scratch))


if __name__ == "__main__":
    main()
