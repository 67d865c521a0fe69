// zemb.SweepOptions and zemb.Scene: every setting of the stitching steps.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <zemb/options.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

using OptionsClass = py::class_<SweepOptions>;

// The fields in declaration order, as the constructor's keywords and the
// repr list them.
std::vector<std::string>& field_names() {
  static std::vector<std::string> names;
  return names;
}

template <typename Value>
void field(OptionsClass& options, const char* name, Value SweepOptions::*member, const char* doc) {
  options.def_readwrite(name, member, doc);
  field_names().emplace_back(name);
}

std::unique_ptr<SweepOptions> options_from(const py::kwargs& settings) {
  auto options = std::make_unique<SweepOptions>();
  const py::object view = py::cast(options.get(), py::return_value_policy::reference);
  for (const auto& [name, value] : settings) {
    const std::string key = py::str(name);
    if (std::find(field_names().begin(), field_names().end(), key) == field_names().end())
      throw py::type_error("SweepOptions has no field '" + key + "'");
    py::setattr(view, name, value);
  }
  return options;
}

py::dict fields_of(const py::object& options) {
  py::dict fields;
  for (const std::string& name : field_names()) fields[name.c_str()] = options.attr(name.c_str());
  return fields;
}

std::string options_repr(const py::object& options) {
  std::string text;
  for (const auto& [name, value] : fields_of(options))
    text += (text.empty() ? "" : ", ") + std::string(py::str(name)) + "=" + std::string(py::repr(value));
  return "SweepOptions(" + text + ")";
}

bool options_equal(const py::object& options, const py::object& other) {
  return py::isinstance<SweepOptions>(other) && fields_of(options).equal(fields_of(other));
}

void bind_fields(OptionsClass& options) {
  field(options, "working_columns", &SweepOptions::working_columns,
        "Camera frames are reduced to at most this many columns (then turned): the working frame.");
  field(options, "tracking_rows", &SweepOptions::tracking_rows,
        "The working frame reduced to at most this many rows, in gray: the tracking image.");
  field(options, "fast_threshold", &SweepOptions::fast_threshold, "FAST threshold on the tracking image.");
  field(options, "min_keypoints", &SweepOptions::min_keypoints,
        "Least keypoints in a frame, and least points tracked into it, to go on.");
  field(options, "adaptive_detection", &SweepOptions::adaptive_detection,
        "Retry FAST at lower thresholds when it finds fewer than min_keypoints.");
  field(options, "adaptive_target", &SweepOptions::adaptive_target,
        "Adaptive detection lowers the threshold until FAST finds this many keypoints.");
  field(options, "fast_threshold_step", &SweepOptions::fast_threshold_step, "Lowering step of the retries.");
  field(options, "fast_threshold_floor", &SweepOptions::fast_threshold_floor, "Lowest threshold tried.");
  field(options, "flow_window", &SweepOptions::flow_window, "Optical flow search window side, pixels.");
  field(options, "flow_levels", &SweepOptions::flow_levels, "Highest optical flow pyramid level (0 = none).");
  field(options, "flow_iterations", &SweepOptions::flow_iterations, "Most flow iterations per point and level.");
  field(options, "flow_epsilon", &SweepOptions::flow_epsilon, "Flow stops when a step moves less than this.");
  field(options, "flow_min_eigen", &SweepOptions::flow_min_eigen, "Points with a weaker gradient are dropped.");
  field(options, "ransac_threshold", &SweepOptions::ransac_threshold, "Reprojection error of an inlier, pixels.");
  field(options, "ransac_iterations", &SweepOptions::ransac_iterations, "RANSAC iterations of a homography fit.");
  field(options, "ransac_confidence", &SweepOptions::ransac_confidence, "RANSAC confidence of a homography fit.");
  field(options, "growth_share", &SweepOptions::growth_share,
        "A frame's right edge must reach this share of the grown panorama width.");
  field(options, "max_placed_scale", &SweepOptions::max_placed_scale,
        "A placement larger than this many times the frame's longer side is refused.");
  field(options, "max_canvas_side", &SweepOptions::max_canvas_side, "Neither canvas side may exceed this.");
  field(options, "seam_band", &SweepOptions::seam_band,
        "Pixels within this distance of a placed frame's edges keep the old canvas.");
  field(options, "recovery", &SweepOptions::recovery, "Recover lost tracking against recent keyframes.");
  field(options, "recovery_keyframes", &SweepOptions::recovery_keyframes, "Keyframes tried by the recovery.");
  field(options, "recovery_points", &SweepOptions::recovery_points,
        "Points of a view tracked per seeded recovery attempt.");
  field(options, "min_inliers", &SweepOptions::min_inliers,
        "Least RANSAC inliers for a frame to count as tracked or recovered.");
  field(options, "min_inlier_share", &SweepOptions::min_inlier_share,
        "Least share of the tracked pairs the inliers must be.");
  field(options, "match_ratio", &SweepOptions::match_ratio, "Ratio-test margin of descriptor matching.");
  field(options, "keyframe_share", &SweepOptions::keyframe_share,
        "Share of a working frame's width the panorama must move on for a new keyframe.");
  field(options, "keep_columns", &SweepOptions::keep_columns, "Kept keyframe images have at most this many columns.");
  field(options, "memory_budget", &SweepOptions::memory_budget,
        "Bytes of kept keyframe images beyond which they are written to the working directory.");
  field(options, "max_links_per_pair", &SweepOptions::max_links_per_pair,
        "Most point correspondences kept per pair of keyframes.");
  field(options, "link_keyframes", &SweepOptions::link_keyframes,
        "Earlier keyframes a new keyframe is linked with when they overlap it.");
  field(options, "scene", &SweepOptions::scene, "What the camera does: Scene.TURNING or Scene.FLAT.");
  field(options, "field_of_view", &SweepOptions::field_of_view,
        "Field of view across a working frame's width, degrees: the refinement's first focal guess.");
  field(options, "refine_iterations", &SweepOptions::refine_iterations,
        "Most iterations of the finished render's bundle adjustment.");
  field(options, "max_render_megapixels", &SweepOptions::max_render_megapixels,
        "The finished render is reduced to at most this many megapixels in its bounding box.");
  field(options, "seam_megapixels", &SweepOptions::seam_megapixels, "Seams are found at about this many megapixels.");
  field(options, "blend_bands", &SweepOptions::blend_bands, "Bands of the multi-band blender.");
}

}  // namespace

void bind_options(py::module_& module) {
  py::enum_<Scene>(module, "Scene", "What the camera does while it sweeps; it decides how finish() models it.")
      .value("TURNING", Scene::kTurning, "A camera turning about its centre: phone panoramas, drones.")
      .value("FLAT", Scene::kFlat, "A flat scene passed under a moving camera: documents, shelves, slides.");

  OptionsClass options(module, "SweepOptions", R"doc(Every setting of zemb.Sweep. SweepOptions(**fields) starts from the defaults and sets the fields
named (TypeError for an unknown name or a value of the wrong type). Ranges are checked by check()
and by Sweep().)doc");
  options.def(py::init(&options_from), "Defaults, with the fields given as keywords set.")
      .def("check", &SweepOptions::check, "Raises ValueError naming the first field out of range.")
      .def("__repr__", &options_repr)
      .def("__eq__", &options_equal, py::is_operator())
      .def("as_dict", &fields_of, "The fields as a dict, in declaration order.");
  bind_fields(options);
}

}  // namespace zemb::python
