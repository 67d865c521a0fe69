#!/usr/bin/env python3
"""Stitches a video, or a folder of images in name order, into a panorama with the zemb module.

    stitch_video.py INPUT [-o OUTDIR] [--every N] [--max-frames N] [--flat]

Feeds zemb.Sweep (zemb.Stitcher when the module has no Sweep), shows progress on stderr and
writes OUTDIR/live.png (the live panorama) and, with Sweep, OUTDIR/finished.png (the finished
render). Sweep the camera toward the top edge of its frames.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import cv2

import zemb

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"}


def read_frames(source):
    """The frames of a folder of images (name order) or of a video file."""
    path = Path(source)
    if path.is_dir():
        for image_path in sorted(p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES):
            frame = cv2.imread(str(image_path), cv2.IMREAD_COLOR)
            if frame is None:
                sys.exit(f"cannot read {image_path}")
            yield frame
        return
    video = cv2.VideoCapture(str(path))
    if not video.isOpened():
        sys.exit(f"cannot open {path} as a video or a folder of images")
    while True:
        ok, frame = video.read()
        if not ok:
            return
        yield frame


def picked(frames, every, most):
    for index, frame in enumerate(frames):
        if most is not None and index // every >= most:
            return
        if index % every == 0:
            yield frame


class SweepFeed:
    """zemb.Sweep: live preview and a finished render."""

    def __init__(self, workdir, flat):
        scene = zemb.Scene.FLAT if flat else zemb.Scene.TURNING
        self.sweep = zemb.Sweep(workdir, zemb.SweepOptions(scene=scene))

    def add(self, frame):
        status = self.sweep.add(frame)
        return status.placed, status.outcome.label

    def live(self):
        return self.sweep.preview

    def finished(self):
        panorama, _, report = self.sweep.finish()
        how = "refined" if report.refined else f"live placements ({report.fallback_reason})"
        print(f"finished render of {report.keyframes_used} keyframes, {how}, {report.seconds_total:.1f} s",
              file=sys.stderr)
        return panorama

    def close(self):
        self.sweep.remove_working_directory()


class StitcherFeed:
    """zemb.Stitcher, for a module built without Sweep: the live panorama only."""

    def __init__(self, workdir, flat):
        del flat  # the stitcher has a single way of placing frames
        self.stitcher = zemb.Stitcher(workdir)

    def add(self, frame):
        result = self.stitcher.stitch(frame)
        names = {zemb.NOT_EXTENDED: "not extended", zemb.NOT_PLACEABLE: "not placeable"}
        return result >= 20, names.get(result, "placed" if result >= 20 else "too few points")

    def live(self):
        return self.stitcher.panorama

    def finished(self):
        return None

    def close(self):
        self.stitcher.remove_local_path()


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
    parser.add_argument("--flat", action="store_true", help="a flat scene passed under the camera (Sweep only)")
    args = parser.parse_args()
    if args.every < 1:
        parser.error("--every must be 1 or more")
    output = Path(args.output)
    output.mkdir(parents=True, exist_ok=True)

    feed_type = SweepFeed if hasattr(zemb, "Sweep") else StitcherFeed
    feed = feed_type(tempfile.mkdtemp(prefix="zemb-"), args.flat)
    placed = count = 0
    start = time.perf_counter()
    try:
        for count, frame in enumerate(picked(read_frames(args.input), args.every, args.max_frames), start=1):
            was_placed, what = feed.add(frame)
            placed += was_placed
            print(f"\rframe {count}: {what:<18} placed {placed}", end="", file=sys.stderr, flush=True)
        print(f"\n{count} frames, {placed} placed, {time.perf_counter() - start:.1f} s", file=sys.stderr)
        if placed == 0:
            sys.exit("no frame could be placed")
        write(output / "live.png", feed.live())
        finished = feed.finished() if placed > 1 else None
        if finished is not None:
            write(output / "finished.png", finished)
    finally:
        feed.close()


if __name__ == "__main__":
    main()
