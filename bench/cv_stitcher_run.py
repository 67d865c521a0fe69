#!/usr/bin/python3
"""cv::Stitcher's whole run on a photo set, the peer of `zemb_pano FOLDER --finish`: decode the photos, stitch
(PANORAMA, its defaults), write the panorama. Prints the seconds of each step.

    bench/cv_stitcher_run.py FOLDER OUT.png
"""

import sys
import time
from pathlib import Path

import cv2

start = time.perf_counter()
paths = sorted(p for p in Path(sys.argv[1]).iterdir() if p.suffix.lower() in (".jpg", ".jpeg", ".png"))
photos = [cv2.imread(str(p)) for p in paths]
decoded = time.perf_counter()
status, panorama = cv2.Stitcher.create(cv2.Stitcher_PANORAMA).stitch(photos)
stitched = time.perf_counter()
if status == cv2.Stitcher_OK:
    cv2.imwrite(sys.argv[2], panorama)
written = time.perf_counter()
print(f"{Path(sys.argv[1]).name}: status {status}, decode {decoded - start:.2f} s, stitch {stitched - decoded:.2f} s, "
      f"write {written - stitched:.2f} s, whole {written - start:.2f} s")
sys.exit(0 if status == cv2.Stitcher_OK else 1)
