"""Incremental panorama stitching of camera frames (zemb_stitcher).

Images are numpy arrays: H x W x 3 uint8 in BGR order for colour, H x W for gray. A bad argument
raises ValueError with the library's message; any other failure of the library raises
RuntimeError. ZembStitcher.ofcheck_stitch, Sweep.add, Sweep.finish, render and stitch_photos release
the GIL.
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
    SPHERE: ClassVar[PanoramaSurface]
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

# Options: Name(**fields) sets the fields named; a value outside a field's range raises ValueError
# naming it, and check() raises it for a limit joining two fields broken; as_dict() gives the fields
# in order, nested structs as dicts. A nested struct is read by reference and may be set from an
# instance or a dict of its fields. Each docstring is the module's own, from the C++ field lists.

class PreparationOptions:
    """Frame preparation: the two sizes every frame is worked at."""

    working_columns: int
    """int, 16 to 8192. The working frame, what goes onto the live preview: its longer side, pixels."""
    tracking_rows: int
    """int, 16 to 8192. The tracking image, in gray, that keypoints and optical flow run on: its longer side, pixels."""
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class DetectionOptions:
    """Keypoint detection on the tracking image (FAST, non-maximum suppression, 9 of 16)."""

    fast_threshold: int
    """int, 1 to 255. FAST's threshold: how much brighter or darker than a point its circle must be."""
    min_keypoints: int
    """int, 4 to 100000. Least keypoints in a frame, and least points tracked into it."""
    adaptive: bool
    """bool. When FAST at fast_threshold finds fewer than adaptive_target keypoints, try again at thresholds lowered by
    threshold_step down to threshold_floor.
    """
    adaptive_target: int
    """int, 4 to 100000. Keypoints the adaptive detection looks for; at least min_keypoints."""
    threshold_step: int
    """int, 1 to 255. Step by which the adaptive detection lowers the threshold."""
    threshold_floor: int
    """int, 1 to 255. Lowest threshold the adaptive detection tries; at most fast_threshold."""
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class FlowOptions:
    """Pyramidal Lucas-Kanade optical flow."""

    window: int
    """int, 3 to 101. Side of the search window, pixels."""
    levels: int
    """int, 0 to 8. Highest pyramid level (0: none)."""
    iterations: int
    """int, 1 to 1000. Most iterations per point and level."""
    epsilon: float
    """float, 0 to 10. A point stops when a step moves it less than this, pixels."""
    min_eigen: float
    """float, 0 to 1. Points with a weaker gradient than this are dropped."""
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class FitOptions:
    """RANSAC fits of a frame homography (tracking and the refit of a placement)."""

    ransac_threshold: float
    """float, 0.01 to 100. Reprojection error of an inlier, pixels."""
    ransac_iterations: int
    """int, 1 to 100000. Most RANSAC iterations."""
    ransac_confidence: float
    """float, 1e-06 to 1. Confidence at which RANSAC stops."""
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class TrackingOptions:
    """Tracking a frame against the last accepted one (or a keyframe)."""

    flow: FlowOptions
    """FlowOptions (or a dict of its fields). Pyramidal Lucas-Kanade optical flow."""
    fit: FitOptions
    """FitOptions (or a dict of its fields). RANSAC fits of a frame homography (tracking and the refit of a placement).
    """
    min_inliers: int
    """int, 4 to 100000. Least RANSAC inliers for a frame to count as tracked or recovered."""
    min_inlier_share: float
    """float, 0 to 1. Least share of the tracked pairs the inliers must be."""
    field_of_view: float
    """float, 1 to 170. Field of view across the camera frame's longer side, degrees: only the first hint of the focal
    length, which a turning sweep estimates itself.
    """
    max_step_scale: float
    """float, 1 to 10. The most a frame may grow or shrink against the frame it is tracked from: a larger change is no
    camera's in one frame step, and the fit is refused.
    """
    max_step_shear: float
    """float, 0 to 1. The most a fit may stretch one way more than the other (1 - the ratio of its linear part's
    singular values) before it is refused.
    """
    max_step_perspective: float
    """float, 0 to 10. The most perspective a fit may add across the frame (the change of the homogeneous scale from
    one side to the other) before it is refused.
    """
    min_spread: float
    """float, 0 to 1. A fit whose inliers spread less than this share of the working frame's shorter side across their
    narrower axis (a clump, a horizon) is poorly conditioned: the sweep keeps the last frames' motion instead.
    """
    min_correlation: float
    """float, 0 to 1. Where the scene is too plain to fit (or to find enough keypoints in), the frame's shift is
    measured by phase correlation with the last placed frame, and taken when the correlation peak's response reaches
    this.
    """
    max_kept_frames: int
    """int, 0 to 100000. The most frames in a row placed by the last frames' motion (where the scene is too plain to
    fit); after them, the next such frame goes to recovery.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class PlacementOptions:
    """Placing a frame on the live preview."""

    max_canvas_side: int
    """int, 64 to 32767. Neither side of the live preview may exceed this many pixels; a frame that would pass it is
    still tracked and recorded, but not shown.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class RecoveryOptions:
    """Recovering a frame that the last accepted frame cannot place: against the last accepted frame and the newest
    keyframes, by binary descriptors (ORB), by optical flow seeded with the shift phase correlation finds, by
    thorough descriptors (SIFT) when the time left allows, and by flow from coarse guesses along the sweep.
    """

    enabled: bool
    """bool. Whether a lost frame is tried again at all."""
    keyframes: int
    """int, 0 to 64. Newest keyframes a lost frame is tried against."""
    points: int
    """int, 4 to 100000. Points of a view tracked per seeded attempt: enough to verify a shift; at least
    tracking.min_inliers.
    """
    binary_features: int
    """int, 4 to 100000. Most ORB features described in a working frame, for the binary descriptors."""
    thorough_features: int
    """int, 4 to 100000. Most SIFT features described in a working frame, for the thorough descriptors."""
    match_ratio: float
    """float, 0.01 to 1. Lowe's ratio test of the descriptor matching: a descriptor's nearest match is kept when its
    distance is below this share of the second nearest's, and when the match holds both ways.
    """
    time_budget: float
    """float, 0.1 to 1000. A lost frame may take this many times the median placed frame's time, tracking, recovery and
    placing it together: beyond its first attempt, recovery starts one only when what the last of its kind took fits
    in what is left, and what it could not try goes on over the next frames, so no frame stalls the capture loop.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class OverlayOptions:
    """Content fixed in the frame while the scene moves (a logo, a timestamp, a camera's display): learnt from the
    first frames, kept out of tracking, out of the keyframes' links and out of the finished render.
    """

    enabled: bool
    """bool. Whether the sweep looks for an overlay at all."""
    learn_frames: int
    """int, 2 to 100000. The sweep looks for an overlay over at most this many first frames."""
    moving_frames: int
    """int, 1 to 100000. Frames in which the scene visibly moved that must agree before a still region counts as an
    overlay.
    """
    max_share: float
    """float, 0 to 1. The largest share of the frame an overlay may cover; a larger still region is the scene holding
    still.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class KeyframeOptions:
    """Which frames become keyframes and how they are linked."""

    share: float
    """float, 0 to 1. A keyframe each time the sweep moved on by this share of a frame."""
    max_links_per_pair: int
    """int, 4 to 100000. Most point correspondences kept per pair of keyframes."""
    link_keyframes: int
    """int, 1 to 64. Earlier keyframes a new keyframe is linked with when they overlap."""
    link_while_sweeping: bool
    """bool. Whether keyframes are linked on a thread of the sweep's own in the time a capture loop leaves between
    frames, so that the finish finds their links ready (the same links either way); off, or with frames sent back to
    back, they are linked when first asked for.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class MemoryOptions:
    """What the keyframes keep, and where."""

    keep_columns: int
    """int, 16 to 8192. Keyframe images are the camera frame reduced to at most this many columns (by default its own
    width): the finished render's resolution.
    """
    budget_bytes: int
    """int, 0 to 1000000000000000000. Kept images beyond this many bytes are written, lossless, into the sweep's own
    folder and read back when needed.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class RenderOptions:
    """The finished render: refinement, exposure compensation, seams, blending."""

    field_of_view: float
    """float, 1 to 170. Field of view across a kept image's longer side, degrees: one start of the focal length's
    search for a record whose keyframes carry none. The focal length is found from the correspondences; this is only
    a hint.
    """
    refine_iterations: int
    """int, 1 to 10000. Most iterations of the bundle adjustment. It converges in a few dozen on a sweep its model
    fits; one it does not fit would otherwise spend seconds before it is refused.
    """
    link_threshold: float
    """float, 0.01 to 100. A recorded correspondence takes part in the refinement when one transform of its pair of
    keyframes explains it to within this many kept pixels.
    """
    max_residual: float
    """float, 0.1 to 100. A model fits when it leaves 90 % of the correspondences within this many kept pixels; the
    scene's own model is used when it fits, else the one that fits best.
    """
    prior_slack: float
    """float, 0.001 to 1. How far, as a share of a kept image's longer side, a correspondence may lie from where the
    live placements (the chain the sweep followed frame by frame) put it and still agree with them.
    """
    prior_overrule: int
    """int, 8 to 100000. Correspondences of a pair of keyframes that contradict the live placements are taken only when
    at least this many agree on one transform (and twice as many as agree with the live placements): on a repeating
    texture a few may pair twins.
    """
    flat_scale_hold: float
    """float, 0 to 1000000. How firmly the similarity adjustment keeps every keyframe at one scale (a camera at a
    steady distance from a flat scene): a keyframe's scale off by a share d costs as much as this many
    correspondences at its edge off by d. 0 lets the scale follow the correspondences alone, which drifts on long
    slides.
    """
    match_unlinked: bool
    """bool. Neighbouring keyframes that no usable recorded correspondence joins are linked from their kept images:
    around their live placements (flow from where those put each point), else by the images' descriptors (SIFT),
    else by the live placements themselves. Off, they are left out, or the render falls back to the live placements.
    """
    match_features: int
    """int, 4 to 100000. Most SIFT features described in a kept image for that matching."""
    match_megapixels: float
    """float, 0.01 to 100. Kept images are matched on gray copies of at most this many megapixels: enough detail to
    match, a fraction of the time a full-resolution image takes.
    """
    match_ratio: float
    """float, 0.01 to 1. Lowe's ratio test of that matching: a descriptor's nearest match is kept when its distance is
    below this share of the second nearest's.
    """
    max_render_megapixels: float
    """float, 0.1 to 400. The render is reduced so that its bounding box holds at most this many megapixels; blending
    memory follows the box (about 13 bytes a pixel). A panorama rendered tile by tile is written as one flat image
    too when it holds at most this many.
    """
    max_pyramid_megapixels: float
    """float, 1 to 1000000. A render composed tile by tile (an image pyramid) is reduced only past this many
    megapixels; its memory follows a tile, and the disk holds the panorama once (3 bytes a pixel) while the pyramid
    is written, which takes about 2.2 kB a column of the panorama.
    """
    tile_size: int
    """int, 32 to 16384. Side of the tiles a tiled render composes one at a time, pixels (rounded up to a multiple of 2
    to the power of blend_bands). Each is blended with a margin of 4 times that multiple around it, so smaller tiles
    cost more blending.
    """
    seam_megapixels: float
    """float, 0.01 to 10. Seams and gains are found on images of about this many megapixels."""
    seam_pass_megapixels: float
    """float, 0.1 to 100000. Seams and gains take a copy of every keyframe at once (about 16 bytes a pixel while seams
    are found). Past this many megapixels of copies in all, seams are found a window of keyframes along the sweep at
    a time, each window within it (only keyframes near each other along a sweep overlap), and gains on copies
    reduced so that all of them fit it; within it the whole sweep is one window.
    """
    exposure: ExposureCompensation
    """ExposureCompensation. How exposure is evened out between keyframes: not at all, a gain per image, gains per
    block of an image, or a gain per colour channel.
    """
    seams: SeamFinding
    """SeamFinding. How the seams between overlapping keyframes are found: not at all, Voronoi cells, dynamic
    programming on colour and gradient, or graph cuts.
    """
    blending: Blending
    """Blending. How keyframes are blended across the seams: not at all, feathered, or in several bands."""
    blend_bands: int
    """int, 0 to 10. Bands of the multi-band blender."""
    keep_movers: bool
    """bool. Show what moved between overlapping keyframes (a person, a car) once, whole: where two keyframes, their
    exposure evened out, differ by more than mover_difference over more than a thin edge, the region (grown past the
    blender's reach) is shown as one keyframe saw the mover and elsewhere as the keyframes that agree saw the scene,
    and no seam or blend crosses it. Off, seams may show it twice or cut it, and the blend leave a half-transparent
    ghost.
    """
    mover_difference: float
    """float, 1 to 255. Grey levels (in the channel that differs most) by which overlapping keyframes must differ,
    after exposure compensation, for the difference to count as something that moved. The gains are found again
    without such pixels (a figure in one keyframe of an overlap and not in the other would pull both), keep_movers
    on or off, unless exposure is not evened out (exposure 0).
    """
    surface: PanoramaSurface
    """PanoramaSurface. What a render with the rotation model projects onto: a plane, a cylinder, the whole sphere
    (equirectangular, twice as wide as high), or (auto) the plane unless the sweep reaches past 50 degrees either
    side.
    """
    level: bool
    """bool. Level a turning camera's panorama (wave correction): the horizon straight across a sideways sweep,
    verticals upright along an up or down one, whatever the camera's tilt and roll.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class SweepOptions:
    """Every setting of Sweep, one struct per component; render is what finish() renders with unless given others."""

    scene: Scene
    """Scene. What the camera does: turns about its centre, or passes over a flat scene. Over a flat scene each frame
    is fitted as a rotation, a uniform scale and a shift, which keeps a long strip straight; a turning camera needs
    full homographies. The record carries the scene to the render.
    """
    direction: Direction
    """Direction. Which way the camera travels, or auto: found from the first frames that move. The sweep turns its
    frames to suit, and its preview and finished panorama come out upright all the same.
    """
    preparation: PreparationOptions
    """PreparationOptions (or a dict of its fields). Frame preparation: the two sizes every frame is worked at."""
    detection: DetectionOptions
    """DetectionOptions (or a dict of its fields). Keypoint detection on the tracking image (FAST, non-maximum
    suppression, 9 of 16).
    """
    tracking: TrackingOptions
    """TrackingOptions (or a dict of its fields). Tracking a frame against the last accepted one (or a keyframe)."""
    placement: PlacementOptions
    """PlacementOptions (or a dict of its fields). Placing a frame on the live preview."""
    recovery: RecoveryOptions
    """RecoveryOptions (or a dict of its fields). Recovering a frame that the last accepted frame cannot place: against
    the last accepted frame and the newest keyframes, by binary descriptors (ORB), by optical flow seeded with the
    shift phase correlation finds, by thorough descriptors (SIFT) when the time left allows, and by flow from coarse
    guesses along the sweep.
    """
    overlay: OverlayOptions
    """OverlayOptions (or a dict of its fields). Content fixed in the frame while the scene moves (a logo, a timestamp,
    a camera's display): learnt from the first frames, kept out of tracking, out of the keyframes' links and out of
    the finished render.
    """
    keyframes: KeyframeOptions
    """KeyframeOptions (or a dict of its fields). Which frames become keyframes and how they are linked."""
    memory: MemoryOptions
    """MemoryOptions (or a dict of its fields). What the keyframes keep, and where."""
    render: RenderOptions
    """RenderOptions (or a dict of its fields). The finished render: refinement, exposure compensation, seams,
    blending.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class PhotoMatchOptions:
    """How a set of photos is registered: features, the pairs tried, the confidence a pair must reach."""

    feature_megapixels: float
    """float, 0.05 to 100. Photos are described (SIFT) on gray copies of at most this many megapixels: the detail
    matching needs, whatever size the photos come in.
    """
    features: int
    """int, 16 to 100000. Most SIFT features described in a photo."""
    faint_below: int
    """int, 0 to 100000. A turning camera's photo with fewer SIFT features than this at SIFT's contrast threshold (a
    bare wall) is described again at faint_contrast_threshold, and its pairs kept only where one rotation explains
    them; 0: never.
    """
    faint_contrast_threshold: float
    """float, 0.001 to 0.04. The SIFT contrast threshold a photo with fewer than faint_below features is described
    again at (SIFT's own: 0.04).
    """
    match_conf: float
    """float, 0.01 to 0.99. cv::detail::BestOf2NearestMatcher's match_conf: a match is kept when its distance is below
    (1 - match_conf) times the second nearest's.
    """
    min_confidence: float
    """float, 0 to 100. A pair joins its photos when its confidence, inliers / (8 + 0.3 matches) as cv::detail's
    matchers count it, reaches this; a wrong match stays far below 1.
    """
    min_inliers: int
    """int, 6 to 100000. A pair joins its photos only with at least this many matches one homography explains."""
    bridge_min_confidence: float
    """float, 0 to 100. A turning camera's photos in groups no confident pair joins are bridged by a pair of at least
    this confidence (and min_inliers) that one rotation explains; min_confidence or more: never.
    """
    turn_tolerance: float
    """float, 0.0005 to 0.05. How far from where one rotation of the camera puts it (a fraction of the photo's
    diagonal) an inlier of a bridging pair, or of a pair with a photo described again, may be.
    """
    turn_share: float
    """float, 0.1 to 1. The share of its inliers that one rotation of the camera, with the focal length the confident
    pairs agree on, must explain for a bridging pair, or a pair with a photo described again, to be kept.
    """
    all_pairs_up_to: int
    """int, 2 to 100000. Sets of up to this many photos match every photo against every other; larger sets match each
    photo against its neighbours in the order given and a shortlist of those that look most alike.
    """
    neighbours: int
    """int, 0 to 1000. In a larger set, the photos either side of a photo in the order given that it is matched
    against.
    """
    shortlist: int
    """int, 0 to 1000. In a larger set, the photos most alike by a global descriptor (a histogram of visual words) that
    a photo is matched against too.
    """
    def __init__(self, **fields: object) -> None: ...
    def check(self) -> None: ...
    def as_dict(self) -> dict[str, object]: ...

class PhotoSetOptions:
    """A set of photos stitched as one problem: registration, the scene, the finished render."""

    scene: Scene
    """Scene. What the camera did between the photos: turned about its centre, or passed over a flat scene."""
    matching: PhotoMatchOptions
    """PhotoMatchOptions (or a dict of its fields). How a set of photos is registered: features, the pairs tried, the
    confidence a pair must reach.
    """
    render: RenderOptions
    """RenderOptions (or a dict of its fields). The finished render: refinement, exposure compensation, seams,
    blending.
    """
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
    def kept_motion(self) -> bool: ...
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
        overlay: Optional[npt.NDArray[np.uint8]] = None,
        direction: Direction = ...,
    ) -> None: ...
    @property
    def scene(self) -> Scene: ...
    @property
    def keyframes(self) -> list[Keyframe]: ...
    @property
    def links(self) -> list[KeyframeLink]: ...
    @property
    def overlay(self) -> Optional[npt.NDArray[np.uint8]]: ...
    @property
    def direction(self) -> Direction: ...
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
    def placements(self) -> list[npt.NDArray[np.float64] | None]: ...  # kept pixel -> panorama pixel, per keyframe
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

class PanoramaProjection:
    @property
    def surface(self) -> PanoramaSurface: ...
    @property
    def scale(self) -> float: ...
    @property
    def centre(self) -> tuple[float, float]: ...
    @property
    def turn_columns(self) -> int: ...
    @property
    def turned(self) -> bool: ...
    @property
    def cameras(self) -> list[Optional[npt.NDArray[np.float64]]]: ...
    def pixel_of(self, ray: tuple[float, float, float]) -> tuple[float, float]: ...
    def ray_of(self, pixel: tuple[float, float]) -> tuple[float, float, float]: ...

class FinishedPanorama:
    @property
    def panorama(self) -> _ColourImage: ...
    @property
    def mask(self) -> npt.NDArray[np.uint8]: ...
    @property
    def crop(self) -> tuple[int, int, int, int]: ...
    def cropped(self) -> _ColourImage: ...
    @property
    def projection(self) -> PanoramaProjection: ...
    @property
    def report(self) -> FinishReport: ...

def largest_covered_rectangle(mask: npt.NDArray[np.uint8]) -> tuple[int, int, int, int]: ...

def render(record: SweepRecord, options: RenderOptions) -> FinishedPanorama: ...
def render_tiled(record: SweepRecord, options: RenderOptions,
                 write: Callable[[int, int, _ColourImage], object]) -> FinishReport: ...

# A set of photos stitched as one problem.

class PhotoLeftOut:
    FEW_FEATURES: ClassVar[PhotoLeftOut]
    NO_CONFIDENT_PAIR: ClassVar[PhotoLeftOut]
    SMALLER_GROUP: ClassVar[PhotoLeftOut]
    NOT_PLACED: ClassVar[PhotoLeftOut]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

def left_out_name(why: PhotoLeftOut) -> str: ...

class LeftOutPhoto:
    @property
    def index(self) -> int: ...
    @property
    def why(self) -> PhotoLeftOut: ...
    @property
    def message(self) -> str: ...

class PhotoSetReport:
    @property
    def placed(self) -> list[int]: ...
    @property
    def left_out(self) -> list[LeftOutPhoto]: ...
    @property
    def pairs_tried(self) -> int: ...
    @property
    def pairs_kept(self) -> int: ...
    @property
    def seconds_features(self) -> float: ...
    @property
    def seconds_matching(self) -> float: ...
    @property
    def seconds_render(self) -> float: ...

class PhotoPanorama:
    @property
    def finished(self) -> FinishedPanorama: ...
    @property
    def report(self) -> PhotoSetReport: ...

def stitch_photos(images: Sequence[_ColourImage], options: PhotoSetOptions = ...) -> PhotoPanorama: ...

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
