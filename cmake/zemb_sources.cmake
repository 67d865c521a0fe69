# The library's sources, one list a part, for every build of it: the main
# build, the fuzz targets and the stress programs (each under its own
# sanitizer) include this file instead of naming the sources again.
# ZEMB_ROOT is the project root. See the README's Architecture section for
# what each part may use.

# The core both front doors use: the frame check, optical flow, the
# homography fit, geometry helpers; the frame-outcome vocabulary.
set(ZEMB_SHARED_SOURCES
  ${ZEMB_ROOT}/src/shared/geometry.cpp
  ${ZEMB_ROOT}/src/shared/status.cpp
  ${ZEMB_ROOT}/src/shared/tracking.cpp
)
# The fixed path: ZembStitcher, its settings and its module-wide objects; its
# preparation and detection, placement, canvas buffers and seam rule; the
# free functions that offer them; the descriptor finder; the step observer.
set(ZEMB_FIXED_SOURCES
  ${ZEMB_ROOT}/src/fixed/axis_extrema.cpp
  ${ZEMB_ROOT}/src/fixed/canvas_buffers.cpp
  ${ZEMB_ROOT}/src/fixed/feature_finder.cpp
  ${ZEMB_ROOT}/src/fixed/frame_preparation.cpp
  ${ZEMB_ROOT}/src/fixed/module_objects.cpp
  ${ZEMB_ROOT}/src/fixed/placement.cpp
  ${ZEMB_ROOT}/src/fixed/seam_repair.cpp
  ${ZEMB_ROOT}/src/fixed/step_observer.cpp
  ${ZEMB_ROOT}/src/fixed/stitcher.cpp
)
# The sweep: its road, poses, live canvas and preview, views, tracking and
# recovery, keyframes and their links, kept images, and the options.
set(ZEMB_SWEEP_SOURCES
  ${ZEMB_ROOT}/src/sweep/background_links.cpp
  ${ZEMB_ROOT}/src/sweep/kept_images.cpp
  ${ZEMB_ROOT}/src/sweep/keyframes.cpp
  ${ZEMB_ROOT}/src/sweep/links.cpp
  ${ZEMB_ROOT}/src/sweep/live_canvas.cpp
  ${ZEMB_ROOT}/src/sweep/options.cpp
  ${ZEMB_ROOT}/src/sweep/overlay.cpp
  ${ZEMB_ROOT}/src/sweep/poses.cpp
  ${ZEMB_ROOT}/src/sweep/preview.cpp
  ${ZEMB_ROOT}/src/sweep/recovery.cpp
  ${ZEMB_ROOT}/src/sweep/sweep.cpp
  ${ZEMB_ROOT}/src/sweep/tracking.cpp
  ${ZEMB_ROOT}/src/sweep/view.cpp
)
# The finished render: remeasured and matched links, the focal length, the
# adjusted models and the choice between them, warps, composition.
set(ZEMB_RENDER_SOURCES
  ${ZEMB_ROOT}/src/render/compose.cpp
  ${ZEMB_ROOT}/src/render/movers.cpp
  ${ZEMB_ROOT}/src/render/crop.cpp
  ${ZEMB_ROOT}/src/render/links.cpp
  ${ZEMB_ROOT}/src/render/match_images.cpp
  ${ZEMB_ROOT}/src/render/projection.cpp
  ${ZEMB_ROOT}/src/render/remeasure.cpp
  ${ZEMB_ROOT}/src/render/seam_pass.cpp
  ${ZEMB_ROOT}/src/render/render.cpp
  ${ZEMB_ROOT}/src/render/tiled.cpp
  ${ZEMB_ROOT}/src/render/warps.cpp
  ${ZEMB_ROOT}/src/render/refine/adjust.cpp
  ${ZEMB_ROOT}/src/render/refine/focal.cpp
  ${ZEMB_ROOT}/src/render/refine/placements.cpp
  ${ZEMB_ROOT}/src/render/refine/plane_adjust.cpp
  ${ZEMB_ROOT}/src/render/refine/refine.cpp
)
# Photo sets: every photo described, the pairs matched and kept by their
# confidence, the largest group handed to the render as a record.
set(ZEMB_PHOTO_SOURCES
  ${ZEMB_ROOT}/src/photos/bridge.cpp
  ${ZEMB_ROOT}/src/photos/features.cpp
  ${ZEMB_ROOT}/src/photos/match.cpp
  ${ZEMB_ROOT}/src/photos/pairs.cpp
  ${ZEMB_ROOT}/src/photos/photos.cpp
)
# The application's tools: outline validation, matching, working directory.
set(ZEMB_APP_TOOL_SOURCES
  ${ZEMB_ROOT}/src/app_tools/descriptor_matching.cpp
  ${ZEMB_ROOT}/src/app_tools/directory_utils.cpp
  ${ZEMB_ROOT}/src/app_tools/outline_validation.cpp
)
# The pyramid writer: a tiled render written through libvips, a library of
# its own (zemb_pyramid) so that the core needs nothing but OpenCV.
set(ZEMB_PYRAMID_SOURCES
  ${ZEMB_ROOT}/src/pyramid/pyramid_writer.cpp
)
set(ZEMB_LIBRARY_SOURCES ${ZEMB_SHARED_SOURCES} ${ZEMB_FIXED_SOURCES} ${ZEMB_SWEEP_SOURCES}
    ${ZEMB_RENDER_SOURCES} ${ZEMB_PHOTO_SOURCES} ${ZEMB_APP_TOOL_SOURCES})

# The synthetic-sweep maker (tools/), for the programs that build it from
# source under their own sanitizer.
set(ZEMB_SYNTHETIC_SWEEP_SOURCES
  ${ZEMB_ROOT}/tools/synthetic_sweep/synthetic_sweep.cpp
  ${ZEMB_ROOT}/tools/synthetic_sweep/turning_camera.cpp
  ${ZEMB_ROOT}/tools/synthetic_sweep/long_sweep.cpp
  ${ZEMB_ROOT}/tools/synthetic_sweep/sphere_camera.cpp
  ${ZEMB_ROOT}/tools/synthetic_sweep/scenes.cpp
  ${ZEMB_ROOT}/tools/synthetic_sweep/truth_fit.cpp
)
