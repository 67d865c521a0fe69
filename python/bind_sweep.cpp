// zemb.Sweep: the configurable way in, with what its calls report.
#include <string>
#include <tuple>
#include <utility>

#include <pybind11/stl.h>
#include <zemb/sweep.h>

#include "bindings.h"
#include "guarded.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

using GuardedSweep = Guarded<Sweep>;

FrameStatus add_frame(GuardedSweep& sweep, const py::object& frame) {
  const MatView view = mat_view(frame, "frame");
  return sweep.without_gil([&view](Sweep& s) { return s.add(view.mat); });
}

std::tuple<py::array, py::array, FinishReport> finish(GuardedSweep& sweep) {
  FinishedPanorama finished = sweep.without_gil([](Sweep& s) { return s.finish(); });
  return {to_array(finished.panorama, Access::writeable), to_array(finished.mask, Access::writeable),
          std::move(finished.report)};
}

template <typename Result>
auto reader(Result (*read)(const Sweep&)) {
  return [read](GuardedSweep& sweep) { return sweep.with_gil([read](Sweep& s) { return read(s); }); };
}

void bind_outcomes(py::module_& module) {
  py::enum_<FrameOutcome>(module, "FrameOutcome", "What Sweep.add() did with a frame.")
      .value("ACCEPTED", FrameOutcome::kAccepted, "Tracked against the last accepted frame and placed.")
      .value("RELOCALISED", FrameOutcome::kRelocalised, "Tracking was lost; recovered against a keyframe and placed.")
      .value("TOO_FEW_KEYPOINTS", FrameOutcome::kTooFewKeypoints,
             "Fewer than min_keypoints keypoints, even at the lowest threshold tried.")
      .value("NOT_EXTENDED", FrameOutcome::kNotExtended, "Placed, but it does not extend the panorama far enough.")
      .value("NOT_PLACEABLE", FrameOutcome::kNotPlaceable,
             "Neither tracking nor recovery gave a plausible placement.")
      .def_property_readonly("label", &outcome_name,
                             "The name used in reports: 'accepted', 'relocalised', 'too few keypoints', ...");

  py::class_<FrameStatus>(module, "FrameStatus", "What Sweep.add() did with a frame, and what it found.")
      .def_readonly("outcome", &FrameStatus::outcome, "A FrameOutcome.")
      .def_readonly("keypoints", &FrameStatus::keypoints, "Keypoints found in the frame.")
      .def_readonly("fast_threshold", &FrameStatus::fast_threshold, "The FAST threshold that found them.")
      .def_readonly("tracked", &FrameStatus::tracked, "Points tracked into the frame.")
      .def_readonly("inliers", &FrameStatus::inliers, "Of them, consistent with the fitted homography.")
      .def_readonly("keyframe", &FrameStatus::keyframe, "Index of the keyframe this frame became, or -1.")
      .def_readonly("recovered_from", &FrameStatus::recovered_from,
                    "Keyframe a relocalised frame was recovered against, or -1.")
      .def_readonly("on_preview", &FrameStatus::on_preview,
                    "False for a placed frame the preview cannot show (stretched too far on a flat canvas); "
                    "it is recorded all the same and the finished render shows it.")
      .def_property_readonly("placed", &FrameStatus::placed, "True when the frame was accepted or relocalised.")
      .def("__repr__", [](const FrameStatus& status) {
        return cv::format("FrameStatus(outcome='%s', keypoints=%d, fast_threshold=%d, tracked=%d, inliers=%d, "
                          "keyframe=%d, recovered_from=%d, on_preview=%s)",
                          outcome_name(status.outcome), status.keypoints, status.fast_threshold, status.tracked,
                          status.inliers, status.keyframe, status.recovered_from, status.on_preview ? "True" : "False");
      });

  py::class_<SweepCounts>(module, "SweepCounts", "Running counts over a sweep.")
      .def_readonly("frames", &SweepCounts::frames, "Calls of add() that returned.")
      .def_readonly("by_outcome", &SweepCounts::by_outcome, "Frames per outcome, indexed by int(FrameOutcome).")
      .def_readonly("keyframes", &SweepCounts::keyframes, "Keyframes recorded.")
      .def_readonly("spilled", &SweepCounts::spilled, "Keyframe images written to the working directory.")
      .def_readonly("spill_failures", &SweepCounts::spill_failures,
                    "Keyframe images that could not be written and stayed in memory.")
      .def_readonly("kept_bytes", &SweepCounts::kept_bytes, "Bytes of keyframe images held in memory now.")
      .def("count", &SweepCounts::count, py::arg("outcome"), "Frames that had `outcome`.");

  py::class_<FinishReport>(module, "FinishReport", "What Sweep.finish() reports.")
      .def_readonly("keyframes_used", &FinishReport::keyframes_used, "Keyframes in the render.")
      .def_readonly("refined", &FinishReport::refined, "True when the global refinement converged and was used.")
      .def_readonly("fallback_reason", &FinishReport::fallback_reason,
                    "Why the live placements were used instead; empty when refined.")
      .def_property_readonly(
          "size", [](const FinishReport& report) { return std::make_pair(report.size.width, report.size.height); },
          "(width, height) of the finished panorama.")
      .def_readonly("seconds_refine", &FinishReport::seconds_refine, "Wall time of the refinement, seconds.")
      .def_readonly("seconds_exposure", &FinishReport::seconds_exposure, "Of exposure compensation, seconds.")
      .def_readonly("seconds_seams", &FinishReport::seconds_seams, "Of seam finding, seconds.")
      .def_readonly("seconds_blend", &FinishReport::seconds_blend, "Of blending, seconds.")
      .def_readonly("seconds_total", &FinishReport::seconds_total, "Of the whole finish(), seconds.");
}

}  // namespace

void bind_sweep(py::module_& module) {
  bind_outcomes(module);
  py::class_<GuardedSweep>(module, "Sweep", R"doc(The configurable way in: like Stitcher it takes camera frames one at a time and keeps a live
preview, but it lowers the detector threshold on soft scenes, recovers lost tracking against its
keyframes, and records keyframes that finish() renders into the finished panorama.

Sweep(workdir, options=SweepOptions()) EMPTIES `workdir` when it exists, as Stitcher does, and
creates it when missing (kept keyframe images may be written there). ValueError when `options`
fail check(). Calls from several threads are taken one at a time.)doc")
      .def(py::init([](const py::object& workdir, const SweepOptions& options) {
             return std::make_unique<GuardedSweep>(to_path(workdir), options);
           }),
           py::arg("workdir"), py::arg("options") = SweepOptions(), "Empties or creates `workdir`; checks `options`.")
      .def("add", &add_frame, py::arg("frame"), R"doc(Adds one camera frame (H x W x 3 uint8, BGR, every frame of the first frame's size) and returns
a FrameStatus. The array is only read. ValueError for a bad frame, which changes nothing. The GIL
is released while the frame is added.)doc")
      .def_property_readonly("preview", reader(+[](const Sweep& s) { return live_image(s.preview()); }),
                             "The live preview, H x W x 3 uint8, read-only; 0 x 0 x 3 before the first accepted "
                             "frame. Holding it keeps its pixels, as with Stitcher.panorama.")
      .def_property_readonly("preview_band", reader(+[](const Sweep& s) { return live_image(s.preview_band()); }),
                             "The band of the preview every accepted frame covered; read-only.")
      .def_property_readonly("counts", reader(+[](const Sweep& s) { return s.counts(); }),
                             "Running counts (a SweepCounts copy).")
      .def_property_readonly("keyframe_count",
                             reader(+[](const Sweep& s) { return static_cast<int>(s.keyframes().size()); }),
                             "Keyframes recorded so far.")
      .def_property_readonly("options", reader(+[](const Sweep& s) { return s.options(); }),
                             "The options the sweep runs with (a copy).")
      .def("finish", &finish, R"doc(Renders the finished panorama from the keyframes and returns (panorama, mask, report):
panorama H x W x 3 uint8, mask H x W uint8 (255 where a frame covered it), both the caller's
own (writeable), and a FinishReport. ValueError with fewer than two keyframes. The GIL is
released while it renders.)doc")
      .def(
          "remove_working_directory",
          [](GuardedSweep& sweep) { sweep.without_gil([](Sweep& s) { s.remove_working_directory(); }); },
          "Empties and removes the working directory.");
}

}  // namespace zemb::python
