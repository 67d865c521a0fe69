"""Incremental panorama stitching of camera frames (zemb_stitcher).

Images are numpy arrays: H x W x 3 uint8 in BGR order for colour, H x W for gray. A bad argument
raises ValueError with the library's message; any other failure of the library raises
RuntimeError. ZembStitcher.ofcheck_stitch, Sweep.add, Sweep.finish and render release the GIL.
"""

import os
from typing import Callable, ClassVar, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike]
_Image = npt.NDArray[np.generic]
_ColourImage = npt.NDArray[np.uint8]
_Points = npt.ArrayLike  # N x 2 (x, y), anything numpy turns into float32
_Matrix = npt.NDArray[np.float64]  # 3 x 3
_ImageOrShape = Union[_Image, Sequence[int]]
_Descriptors = npt.NDArray[Union[np.float32, np.uint8]]

BUSY: int  # 0: another thread's ofcheck_stitch() on this stitcher is under way
NOT_EXTENDED: int  # -1: the frame does not extend the panorama far enough
NOT_PLACEABLE: int  # -2: the frame could not be placed

# Enumerations: int(value) gives the C++ value.

class Scene:
    TURNING: ClassVar[Scene]
    FLAT: ClassVar[Scene]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Direction:
    AUTO: ClassVar[Direction]
    RIGHT: ClassVar[Direction]
    LEFT: ClassVar[Direction]
    UP: ClassVar[Direction]
    DOWN: ClassVar[Direction]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class ExposureCompensation:
    NONE: ClassVar[ExposureCompensation]
    GAIN: ClassVar[ExposureCompensation]
    GAIN_BLOCKS: ClassVar[ExposureCompensation]
    CHANNELS: ClassVar[ExposureCompensation]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class SeamFinding:
    NONE: ClassVar[SeamFinding]
    VORONOI: ClassVar[SeamFinding]
    DP_COLOUR_GRADIENT: ClassVar[SeamFinding]
    GRAPH_CUT: ClassVar[SeamFinding]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Blending:
    NONE: ClassVar[Blending]
    FEATHER: ClassVar[Blending]
    MULTI_BAND: ClassVar[Blending]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class PanoramaSurface:
    AUTO: ClassVar[PanoramaSurface]
    PLANE: ClassVar[PanoramaSurface]
    CYLINDER: ClassVar[PanoramaSurface]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class FrameOutcome:
    ACCEPTED: ClassVar[FrameOutcome]
    RELOCALISED: ClassVar[FrameOutcome]
    TOO_FEW_KEYPOINTS: ClassVar[FrameOutcome]
    TOO_FEW_TRACKED: ClassVar[FrameOutcome]
    NOT_EXTENDED: ClassVar[FrameOutcome]
    NOT_PLACEABLE: ClassVar[FrameOutcome]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class RenderFallback:
    NONE: ClassVar[RenderFallback]
    UNLINKED: ClassVar[RenderFallback]
    ADJUSTMENT_FAILED: ClassVar[RenderFallback]
    IMPLAUSIBLE: ClassVar[RenderFallback]
    RAISED: ClassVar[RenderFallback]
    POOR_FIT: ClassVar[RenderFallback]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class RenderModel:
    ROTATION: ClassVar[RenderModel]
    HOMOGRAPHY: ClassVar[RenderModel]
    SIMILARITY: ClassVar[RenderModel]
    LIVE: ClassVar[RenderModel]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

# Options: Name(**fields) sets the fields named; check() raises ValueError naming the first field
# out of range; as_dict() gives the fields in order, nested structs as dicts. A nested struct is
# read by reference and may be set from an instance or a dict of its fields.

class PreparationOptions:
    working_columns: int
    tracking_rows: int
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class DetectionOptions:
    fast_threshold: int
    min_keypoints: int
    adaptive: bool
    adaptive_target: int
    threshold_step: int
    threshold_floor: int
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class FlowOptions:
    window: int
    levels: int
    iterations: int
    epsilon: float
    min_eigen: float
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class FitOptions:
    ransac_threshold: float
    ransac_iterations: int
    ransac_confidence: float
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class TrackingOptions:
    flow: FlowOptions
    fit: FitOptions
    min_inliers: int
    min_inlier_share: float
    field_of_view: float
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class PlacementOptions:
    growth_share: float
    max_placed_scale: float
    max_canvas_side: int
    seam_band: float
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class RecoveryOptions:
    enabled: bool
    keyframes: int
    points: int
    match_ratio: float
    time_budget: float
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class KeyframeOptions:
    share: float
    max_links_per_pair: int
    link_keyframes: int
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class MemoryOptions:
    keep_columns: int
    budget_bytes: int
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class RenderOptions:
    field_of_view: float
    refine_iterations: int
    link_threshold: float
    max_residual: float
    match_unlinked: bool
    max_render_megapixels: float
    seam_megapixels: float
    exposure: ExposureCompensation
    seams: SeamFinding
    blending: Blending
    blend_bands: int
    surface: PanoramaSurface
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class SweepOptions:
    scene: Scene
    direction: Direction
    preparation: PreparationOptions
    detection: DetectionOptions
    tracking: TrackingOptions
    placement: PlacementOptions
    recovery: RecoveryOptions
    keyframes: KeyframeOptions
    memory: MemoryOptions
    render: RenderOptions
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

# What became of a frame, on either way in.

def outcome_name(outcome: FrameOutcome) -> str: ...

class FrameStatus:
    @property
    def outcome(self) -> FrameOutcome: ...
    @property
    def count(self) -> int: ...
    @property
    def keypoints(self) -> int: ...
    @property
    def fast_threshold(self) -> int: ...
    @property
    def tracked(self) -> int: ...
    @property
    def inliers(self) -> int: ...
    @property
    def keyframe(self) -> int: ...
    @property
    def recovered_from(self) -> int: ...
    @property
    def on_preview(self) -> bool: ...
    @property
    def canvas_shift(self) -> tuple[float, float]: ...
    @property
    def placement(self) -> Optional[_Matrix]: ...
    def placed(self) -> bool: ...

# The record of a sweep and its render.

class Keyframe:
    frame_index: int
    image_size: tuple[int, int]  # (width, height)
    placement: Optional[_Matrix]  # read-only array; assign a new one
    rotation: Optional[_Matrix]  # read-only array; assign a new one
    focal: float
    def __init__(
        self,
        frame_index: int = 0,
        image_size: tuple[int, int] = (0, 0),
        placement: Optional[npt.ArrayLike] = None,
        rotation: Optional[npt.ArrayLike] = None,
        focal: float = 0.0,
    ) -> None: ...

class KeyframeLink:
    from_: int  # C++: from
    to: int
    from_points: npt.NDArray[np.float32]  # N x 2, read-only array; assign a new one
    to_points: npt.NDArray[np.float32]
    def __init__(
        self, from_: int = 0, to: int = 0, from_points: Optional[_Points] = None, to_points: Optional[_Points] = None
    ) -> None: ...

class SweepRecord:
    def __init__(
        self,
        scene: Scene = ...,
        keyframes: Sequence[Keyframe] = ...,
        links: Sequence[KeyframeLink] = ...,
        image: Union[Callable[[int], _ColourImage], Sequence[_ColourImage], None] = None,
    ) -> None: ...
    @property
    def scene(self) -> Scene: ...
    @property
    def keyframes(self) -> list[Keyframe]: ...
    @property
    def links(self) -> list[KeyframeLink]: ...
    def image(self, index: int) -> _ColourImage: ...

def fallback_name(fallback: RenderFallback) -> str: ...
def model_name(model: RenderModel) -> str: ...

class FinishReport:
    @property
    def keyframes_used(self) -> int: ...
    @property
    def refined(self) -> bool: ...
    @property
    def model(self) -> RenderModel: ...
    @property
    def fallback(self) -> RenderFallback: ...
    @property
    def fallback_message(self) -> str: ...
    @property
    def left_out(self) -> list[int]: ...
    @property
    def focal(self) -> float: ...
    @property
    def residual_median(self) -> float: ...
    @property
    def residual_p90(self) -> float: ...
    @property
    def size(self) -> tuple[int, int]: ...  # (width, height)
    @property
    def seconds_refine(self) -> float: ...
    @property
    def seconds_exposure(self) -> float: ...
    @property
    def seconds_seams(self) -> float: ...
    @property
    def seconds_blend(self) -> float: ...
    @property
    def seconds_total(self) -> float: ...

class FinishedPanorama:
    @property
    def panorama(self) -> _ColourImage: ...
    @property
    def mask(self) -> npt.NDArray[np.uint8]: ...
    @property
    def report(self) -> FinishReport: ...

def render(record: SweepRecord, options: RenderOptions) -> FinishedPanorama: ...

# The two ways in.

class ZembStitcher:
    """The incremental stitcher; empties `path` when it exists."""

    def __init__(self, path: _Path) -> None: ...
    def ofcheck_stitch(self, frame: _ColourImage) -> int:
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

def last_status(stitcher: ZembStitcher) -> FrameStatus: ...

class SweepCounts:
    @property
    def frames(self) -> int: ...
    @property
    def by_outcome(self) -> list[int]: ...  # indexed by int(FrameOutcome)
    @property
    def keyframes(self) -> int: ...
    @property
    def spilled(self) -> int: ...
    @property
    def spill_failures(self) -> int: ...
    @property
    def kept_bytes(self) -> int: ...
    def count(self, outcome: FrameOutcome) -> int: ...

class Sweep:
    """The configurable way in; spills kept images into a folder of its own inside `directory`."""

    def __init__(self, directory: _Path = "", options: SweepOptions = ...) -> None: ...
    def add(self, frame: _ColourImage) -> FrameStatus: ...
    def preview(self) -> _ColourImage: ...
    def preview_band(self) -> _ColourImage: ...
    def options(self) -> SweepOptions: ...
    def counts(self) -> SweepCounts: ...
    def keyframes(self) -> list[Keyframe]: ...
    def links(self) -> list[KeyframeLink]: ...
    def keyframe_image(self, index: int) -> _ColourImage: ...
    def working_directory(self) -> str: ...
    def record(self) -> SweepRecord: ...
    def finish(self, options: RenderOptions = ...) -> FinishedPanorama: ...
    def remove_working_directory(self) -> None: ...

# Free functions.

def image_resize(image: _Image, target: int, by_cols: bool = True) -> tuple[_Image, float]:
    """At most `target` columns (by_cols) or rows; returns (reduced, scale)."""

def frame_resize(image: _Image) -> tuple[_Image, float]:
    """At most 300 rows; returns (reduced, scale)."""

def to_gray(image: _Image) -> _Image:
    """3 channels: COLOR_RGB2GRAY weights in channel order; 1 channel: a copy."""

def is_convex(box: _Points) -> bool: ...
def calc_angle(box: _Points) -> float: ...
def calc_area(box: _Points, image: _ImageOrShape) -> float: ...
def is_good_green_box(box: _Points, image: _ImageOrShape, min_area_ratio: float, max_angle: float) -> bool: ...
def OptimizeSeam(old_canvas: _ColourImage, new_canvas: _ColourImage, corners: _Points) -> _ColourImage:
    """A repaired copy of new_canvas; neither input is modified."""

def single_match(descriptors1: _Descriptors, descriptors2: _Descriptors, ratio: float) -> npt.NDArray[np.float64]:
    """N x 4: queryIdx, trainIdx, imgIdx, distance."""

def double_match(descriptors1: _Descriptors, descriptors2: _Descriptors, ratio: float) -> npt.NDArray[np.float64]:
    """N x 4: queryIdx, trainIdx, imgIdx, distance."""

def getFilePath(dir_path: _Path, entry_name: _Path) -> str: ...
def deleteFile(path: _Path) -> None: ...
def isFloderexit(path: _Path) -> bool: ...
