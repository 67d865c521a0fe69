"""Incremental panorama stitching of camera frames (zemb_stitcher).

Images are numpy arrays: H x W x 3 uint8 in BGR order for colour, H x W for gray. A bad argument
raises ValueError with the library's message; any other failure of the library raises
RuntimeError. Stitcher.stitch, Sweep.add and Sweep.finish release the GIL.
"""

import os
from typing import ClassVar, Sequence, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike]
_Image = npt.NDArray[np.generic]
_ColourImage = npt.NDArray[np.uint8]
_Points = npt.ArrayLike  # N x 2 (x, y), anything numpy turns into float32
_ImageOrShape = Union[_Image, Sequence[int]]

BUSY: int  # 0: another thread's stitch() on this stitcher is under way
NOT_EXTENDED: int  # -1: the frame does not extend the panorama far enough
NOT_PLACEABLE: int  # -2: the frame could not be placed

class Stitcher:
    """The incremental stitcher; empties `workdir` when it exists."""

    def __init__(self, workdir: _Path) -> None: ...
    def stitch(self, frame: _ColourImage) -> int:
        """Adds one frame; BUSY, NOT_EXTENDED, NOT_PLACEABLE or a count (>= 20 when placed)."""
    @property
    def panorama(self) -> _ColourImage:
        """The whole canvas, read-only; holding it keeps its pixels (a copy per frame while held)."""
    @property
    def cropped(self) -> _ColourImage:
        """The band every accepted frame covered, read-only."""
    @property
    def frame_count(self) -> int: ...
    @property
    def state(self) -> int: ...
    @property
    def crop_top(self) -> float: ...
    @property
    def crop_bottom(self) -> float: ...
    @property
    def crop_right(self) -> float: ...
    min_keypoints: int
    @property
    def local_path(self) -> str: ...
    def remove_local_path(self) -> None: ...

class Scene:
    """An enumeration (int(scene) gives its value)."""

    TURNING: ClassVar[Scene]
    FLAT: ClassVar[Scene]
    name: str
    value: int
    def __int__(self) -> int: ...

class SweepOptions:
    """Every setting of Sweep; SweepOptions(**fields) sets the fields named."""

    working_columns: int
    tracking_rows: int
    fast_threshold: int
    min_keypoints: int
    adaptive_detection: bool
    adaptive_target: int
    fast_threshold_step: int
    fast_threshold_floor: int
    flow_window: int
    flow_levels: int
    flow_iterations: int
    flow_epsilon: float
    flow_min_eigen: float
    ransac_threshold: float
    ransac_iterations: int
    ransac_confidence: float
    growth_share: float
    max_placed_scale: float
    max_canvas_side: int
    seam_band: float
    recovery: bool
    recovery_keyframes: int
    recovery_points: int
    min_inliers: int
    min_inlier_share: float
    match_ratio: float
    keyframe_share: float
    keep_columns: int
    memory_budget: int
    max_links_per_pair: int
    link_keyframes: int
    scene: Scene
    field_of_view: float
    refine_iterations: int
    max_render_megapixels: float
    seam_megapixels: float
    blend_bands: int
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None:
        """Raises ValueError naming the first field out of range."""
    def as_dict(self) -> dict[str, object]: ...

class FrameOutcome:
    """An enumeration (int(outcome) indexes SweepCounts.by_outcome)."""

    ACCEPTED: ClassVar[FrameOutcome]
    RELOCALISED: ClassVar[FrameOutcome]
    TOO_FEW_KEYPOINTS: ClassVar[FrameOutcome]
    NOT_EXTENDED: ClassVar[FrameOutcome]
    NOT_PLACEABLE: ClassVar[FrameOutcome]
    name: str
    value: int
    def __int__(self) -> int: ...
    @property
    def label(self) -> str: ...

class FrameStatus:
    outcome: FrameOutcome
    keypoints: int
    fast_threshold: int
    tracked: int
    inliers: int
    keyframe: int
    recovered_from: int
    on_preview: bool
    @property
    def placed(self) -> bool: ...

class SweepCounts:
    frames: int
    by_outcome: list[int]
    keyframes: int
    spilled: int
    spill_failures: int
    kept_bytes: int
    def count(self, outcome: FrameOutcome) -> int: ...

class FinishReport:
    keyframes_used: int
    refined: bool
    fallback_reason: str
    size: tuple[int, int]  # (width, height)
    seconds_refine: float
    seconds_exposure: float
    seconds_seams: float
    seconds_blend: float
    seconds_total: float

class Sweep:
    """The configurable way in; empties or creates `workdir`."""

    def __init__(self, workdir: _Path, options: SweepOptions = ...) -> None: ...
    def add(self, frame: _ColourImage) -> FrameStatus: ...
    @property
    def preview(self) -> _ColourImage: ...
    @property
    def preview_band(self) -> _ColourImage: ...
    @property
    def counts(self) -> SweepCounts: ...
    @property
    def keyframe_count(self) -> int: ...
    @property
    def options(self) -> SweepOptions: ...
    def finish(self) -> tuple[_ColourImage, npt.NDArray[np.uint8], FinishReport]:
        """(panorama, mask, report); ValueError with fewer than two keyframes."""
    def remove_working_directory(self) -> None: ...

def prepare_image(image: _Image, target: int, by_cols: bool = True) -> tuple[_Image, float]:
    """At most `target` columns (by_cols) or rows; returns (reduced, scale)."""

def frame_resize(image: _Image) -> tuple[_Image, float]:
    """At most 300 rows; returns (reduced, scale)."""

def to_gray(image: _Image) -> _Image:
    """3 channels: COLOR_RGB2GRAY weights in channel order; 1 channel: a copy."""

def is_convex(box: _Points) -> bool: ...
def calc_angle(box: _Points) -> float: ...
def calc_area(box: _Points, image: _ImageOrShape) -> float: ...
def is_good_green_box(box: _Points, image: _ImageOrShape, min_area_ratio: float, max_angle: float) -> bool: ...
def optimize_seam(old_canvas: _ColourImage, new_canvas: _ColourImage, corners: _Points) -> _ColourImage:
    """A repaired copy of new_canvas; neither input is modified."""

def single_match(
    descriptors1: npt.NDArray[np.float32 | np.uint8], descriptors2: npt.NDArray[np.float32 | np.uint8], ratio: float
) -> npt.NDArray[np.float64]:
    """N x 4: queryIdx, trainIdx, imgIdx, distance."""

def double_match(
    descriptors1: npt.NDArray[np.float32 | np.uint8], descriptors2: npt.NDArray[np.float32 | np.uint8], ratio: float
) -> npt.NDArray[np.float64]:
    """N x 4: queryIdx, trainIdx, imgIdx, distance."""

def get_file_path(directory: _Path, entry: _Path) -> str: ...
def delete_file(path: _Path) -> None: ...
def is_folder(path: _Path) -> bool: ...
