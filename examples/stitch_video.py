#!/usr/bin/env python3
"""Stitches a video, or a folder of images in name order, into a panorama with the zemb module.

    stitch_video.py INPUT [-o OUTDIR] [--every N] [--max-frames N] [--flat]

Feeds zemb.Sweep, shows progress on stderr and writes OUTDIR/live.png (the live preview) and,
once the sweep has two keyframes, OUTDIR/finished.png (the finished render). Sweep the camera
toward the top edge of its frames.
"""

import argparse
import sys
import time
from pathlib import Path

import cv2

import zemb
from zemb_batch import read_frames

def picked(frames, every, most):
    for index, frame in enumerate(frames):
        if most is not None and index // every >= most:
            return
        if index % every == 0:
            yield frame


def finished_panorama(sweep):
    finished = sweep.finish()
    report = finished.report
    how = "refined" if report.refined else f"live placements ({report.fallback_message})"
    print(f"finished render of {report.keyframes_used} keyframes, {how}, {report.seconds_total:.1f} s",
          file=sys.stderr)
    return finished.panorama


def write(path, image):
    if not cv2.imwrite(str(path), image):
        sys.exit(f"cannot write {path}")
    print(f"wrote {path}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="a video file or a folder of images")
    parser.add_argument("-o", "--output", default=".", help="folder for live.png and finished.png")
    parser.add_argument("--every", type=int, default=1, help="take one frame in N")
    parser.add_argument("--max-frames", type=int, help="stop after N frames")
    parser.add_argument("--flat", action="store_true", help="a flat scene passed under the camera")
    args = parser.parse_args()
    if args.every < 1:
        parser.error("--every must be 1 or more")
    output = Path(args.output)
    output.mkdir(parents=True, exist_ok=True)

    scene = zemb.Scene.FLAT if args.flat else zemb.Scene.TURNING
    sweep = zemb.Sweep(options=zemb.SweepOptions(scene=scene))  # spills into a folder of its own in /tmp
    placed = count = 0
    start = time.perf_counter()
    try:
        for count, frame in enumerate(picked(read_frames(args.input), args.every, args.max_frames), start=1):
            status = sweep.add(frame)
            placed += status.placed()
            print(f"\rframe {count}: {zemb.outcome_name(status.outcome):<18} placed {placed}", end="",
                  file=sys.stderr, flush=True)
        print(f"\n{count} frames, {placed} placed, {time.perf_counter() - start:.1f} s", file=sys.stderr)
        if placed == 0:
            sys.exit("no frame could be placed")
        write(output / "live.png", sweep.preview())
        if len(sweep.record().keyframes) >= 2:
            write(output / "finished.png", finished_panorama(sweep))
        else:
            print("no finished render: the sweep recorded a single keyframe", file=sys.stderr)
    except ValueError as unreadable:
        sys.exit(str(unreadable))
    finally:
        sweep.remove_working_directory()


if __name__ == "__main__":
    main()
