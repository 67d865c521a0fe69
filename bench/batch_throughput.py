#!/usr/bin/env python3
"""Throughput of the batch front door: the same inputs stitched on a local Dask cluster of 1 worker
and of 2 workers, with the speed-up and a check that both gave the same bytes.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/batch_throughput.py [INPUT...] [--copies N]

Without inputs it takes the bundled clips (data/life_sweep and the real clips in data/real), each
`--copies` times (2 by default), so that every worker has work to the end. A 2-core machine
should reach about twice the throughput with 2 workers: each stitch runs in a process of its own.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import zemb_batch

ROOT = Path(__file__).resolve().parents[1]
BUNDLED = [ROOT / "data" / "life_sweep", ROOT / "data" / "real" / "parking_zoom.mjpeg",
           ROOT / "data" / "real" / "parking_rotate.mjpeg", ROOT / "data" / "real" / "aerial_plane.mjpeg"]


def timed_batch(sources, workers):
    with tempfile.TemporaryDirectory() as output:
        start = time.perf_counter()
        results = zemb_batch.stitch_all(sources, output, workers=workers)
        return time.perf_counter() - start, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("inputs", nargs="*", type=Path, help="video files or folders of images")
    parser.add_argument("--copies", type=int, default=2, help="times each input is stitched")
    args = parser.parse_args()
    sources = [str(source) for source in (args.inputs or BUNDLED)] * args.copies
    frames = None
    seconds = {}
    outputs = {}
    for workers in (1, 2):
        seconds[workers], results = timed_batch(sources, workers)
        failed = [result.source for result in results if not result.ok]
        if failed:
            sys.exit(f"failed: {failed}")
        frames = sum(result.frames for result in results)
        outputs[workers] = [result.files for result in results]
        print(f"{workers} worker(s): {len(sources)} inputs, {frames} frames in {seconds[workers]:.1f} s, "
              f"{frames / seconds[workers]:.1f} frames/s")
    print(f"speed-up with 2 workers: {seconds[1] / seconds[2]:.2f}x")
    print(f"same bytes: {'yes' if outputs[1] == outputs[2] else 'NO'}")


if __name__ == "__main__":
    main()
