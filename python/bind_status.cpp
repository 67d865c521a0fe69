// zemb.FrameStatus and zemb.FrameOutcome: what became of a frame, on either
// way in (Sweep.add() returns it, zemb.last_status() gives the stitcher's).
#include <utility>

#include <zemb/status.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

void bind_status(py::module_& module) {
  py::enum_<FrameOutcome>(module, "FrameOutcome", "What became of a frame.")
      .value("ACCEPTED", FrameOutcome::kAccepted, "Tracked against the last accepted frame and placed.")
      .value("RELOCALISED", FrameOutcome::kRelocalised,
             "Tracking was lost; recovered against a keyframe and placed (the sweep).")
      .value("TOO_FEW_KEYPOINTS", FrameOutcome::kTooFewKeypoints,
             "Fewer than the least number of keypoints (the sweep: even at its lowest threshold).")
      .value("TOO_FEW_TRACKED", FrameOutcome::kTooFewTracked,
             "Fewer points tracked into the frame than that (the fixed path).")
      .value("NOT_EXTENDED", FrameOutcome::kNotExtended, "Placed, but it does not extend the panorama far enough.")
      .value("NOT_PLACEABLE", FrameOutcome::kNotPlaceable, "No usable, plausible placement.");
  module.def("outcome_name", &outcome_name, py::arg("outcome"),
             "The name used in reports and CSV files: 'accepted', 'relocalised', 'too few keypoints', ...");

  py::class_<FrameStatus>(module, "FrameStatus", "What became of one frame, and what was found in it.")
      .def_readonly("outcome", &FrameStatus::outcome, "A FrameOutcome.")
      .def_readonly("count", &FrameStatus::count,
                    "The count behind the outcome (the stitcher: its int result; the sweep: keypoints of the "
                    "first frame and of one with too few, tracked points of one not placeable, else inliers).")
      .def_readonly("keypoints", &FrameStatus::keypoints, "Keypoints found in the frame.")
      .def_readonly("fast_threshold", &FrameStatus::fast_threshold, "The FAST threshold that found them.")
      .def_readonly("tracked", &FrameStatus::tracked, "Points tracked into the frame.")
      .def_readonly("inliers", &FrameStatus::inliers, "Of them, consistent with the fitted homography (the sweep).")
      .def_readonly("keyframe", &FrameStatus::keyframe, "Index of the keyframe this frame became, or -1.")
      .def_readonly("recovered_from", &FrameStatus::recovered_from,
                    "Keyframe a relocalised frame was recovered against, or -1.")
      .def_readonly("kept_motion", &FrameStatus::kept_motion,
                    "True for a frame placed by the motion the last frames had, where the scene gave too little "
                    "to fit (the sweep).")
      .def_readonly("on_preview", &FrameStatus::on_preview,
                    "False for a placed frame the live canvas cannot show (the finished render shows it).")
      .def_property_readonly(
          "canvas_shift",
          [](const FrameStatus& status) { return std::make_pair(status.canvas_shift.x, status.canvas_shift.y); },
          "(x, y): where the old canvas's origin lies on the new one, for a placed frame.")
      .def_property_readonly(
          "placement", [](const FrameStatus& status) { return matrix_or_none(status.placement); },
          "Working-frame pixel -> new canvas pixel of a placed frame: 3 x 3 float64, read-only; else None.")
      .def("placed", &FrameStatus::placed, "True when the frame was accepted or relocalised.")
      .def("__repr__", [](const FrameStatus& status) {
        return cv::format(
            "FrameStatus(outcome=FrameOutcome.%s, count=%d, keypoints=%d, fast_threshold=%d, tracked=%d, "
            "inliers=%d, keyframe=%d, recovered_from=%d, on_preview=%s)",
            std::string(py::str(py::cast(status.outcome).attr("name"))).c_str(), status.count, status.keypoints,
            status.fast_threshold, status.tracked, status.inliers, status.keyframe, status.recovered_from,
            status.on_preview ? "True" : "False");
      });
}

}  // namespace zemb::python
