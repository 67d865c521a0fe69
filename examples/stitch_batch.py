#!/usr/bin/env python3
"""Stitches many clips or folders of frames at once on a Dask cluster, each into a folder of its own.

    stitch_batch.py INPUT... [-o OUTDIR] [--workers N | --scheduler ADDRESS] [--flat]

Without --scheduler a local cluster of N worker processes (one per core by default) runs on this
machine; with a scheduler's address (tcp://host:8786, from `dask scheduler` and one `dask worker
tcp://host:8786` per machine) the same job spreads over every machine of that cluster, which must
read the inputs at the same paths. Writes OUTDIR/<input name>/live.png and finished.png, prints a
line per input, and exits 1 when any input gave no panorama.
"""

import argparse
import sys

import zemb
import zemb_batch


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("inputs", nargs="+", help="video files or folders of images")
    parser.add_argument("-o", "--output", default=".", help="folder that receives a folder per input")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="worker processes of the local cluster")
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--flat", action="store_true", help="flat scenes passed under the camera")
    args = parser.parse_args()
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be 1 or more")

    scene = zemb.Scene.FLAT if args.flat else zemb.Scene.TURNING
    options = zemb.SweepOptions(scene=scene).as_dict()
    results = zemb_batch.stitch_all(args.inputs, args.output, options=options,
                                    scheduler=args.scheduler, workers=args.workers)
    for result in results:
        what = (f"{result.placed} of {result.frames} frames placed, {result.keyframes} keyframes, "
                f"{result.seconds:.1f} s" if result.ok else f"failed: {result.error}")
        print(f"{result.source}: {what}")
    sys.exit(0 if all(result.ok for result in results) else 1)


if __name__ == "__main__":
    main()
