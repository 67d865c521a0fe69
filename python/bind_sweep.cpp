// zemb.Sweep: the configurable way in, with its running counts.
#include <memory>
#include <string>
#include <utility>

#include <pybind11/stl.h>
#include <zemb/sweep.h>

#include "bindings.h"
#include "guarded.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

using GuardedSweep = Guarded<Sweep>;

template <typename Read>
auto reader(Read read) {
  return [read](GuardedSweep& sweep) { return sweep.with_gil([&read](Sweep& s) { return read(s); }); };
}

FrameStatus add_frame(GuardedSweep& sweep, const py::object& frame) {
  const MatView view = mat_view(frame, "frame");
  return sweep.without_gil([&view](Sweep& s) { return s.add(view.mat); });
}

py::array keyframe_image(GuardedSweep& sweep, int index) {
  const cv::Mat image = sweep.without_gil([index](Sweep& s) {
    if (index < 0 || static_cast<std::size_t>(index) >= s.keyframes().size())
      throw py::index_error("keyframe index " + std::to_string(index) + " out of range");
    return s.keyframe_image(index);
  });
  return to_array(image, Access::read_only);
}

// The sweep's record, reading its images under the sweep's lock: a render
// of it may run while another thread adds frames. The Python record keeps
// the sweep alive (see keep_alive below).
SweepRecord record_of(GuardedSweep& sweep) {
  SweepRecord record = sweep.with_gil([](Sweep& s) { return s.record(); });
  record.image = [&sweep, read = std::move(record.image)](int index) {
    return sweep.when_free([&read, index](Sweep&) { return read(index); });
  };
  return record;
}

void bind_counts(py::module_& module) {
  py::class_<SweepCounts>(module, "SweepCounts", "Running counts over a sweep.")
      .def_readonly("frames", &SweepCounts::frames, "Calls of add() that returned.")
      .def_readonly("by_outcome", &SweepCounts::by_outcome, "Frames per outcome, indexed by int(FrameOutcome).")
      .def_readonly("keyframes", &SweepCounts::keyframes, "Keyframes recorded.")
      .def_readonly("spilled", &SweepCounts::spilled, "Keyframe images written to the sweep's folder.")
      .def_readonly("spill_failures", &SweepCounts::spill_failures,
                    "Keyframe images that could not be written and stayed in memory.")
      .def_readonly("kept_bytes", &SweepCounts::kept_bytes, "Bytes of keyframe images held in memory now.")
      .def("count", &SweepCounts::count, py::arg("outcome"), "Frames that had `outcome`.");
}

}  // namespace

void bind_sweep(py::module_& module) {
  bind_counts(module);
  py::class_<GuardedSweep>(module, "Sweep", R"doc(The configurable way in: like ZembStitcher it takes camera frames one at a time and keeps a
live preview, but it lowers the detector threshold on soft scenes, recovers lost tracking against
its keyframes, and records keyframes that finish() renders into the finished panorama.

Sweep(directory="", options=SweepOptions()): keyframe images beyond options.memory.budget_bytes
go into a folder the sweep makes for itself inside `directory` (the system's temporary folder
when empty) when it first needs one. It never touches anything else there, and removes its folder
when it is deleted or asked to. ValueError when `options` fail check(). Calls from several
threads are taken one at a time.)doc")
      .def(py::init([](const py::object& directory, const SweepOptions& options) {
             return std::make_unique<GuardedSweep>(to_path(directory), options);
           }),
           py::arg("directory") = "", py::arg("options") = SweepOptions())
      .def("add", &add_frame, py::arg("frame"), R"doc(Adds one camera frame (H x W x 3 uint8, BGR, every frame of the first frame's size) and returns
a FrameStatus. The array is only read. ValueError for a bad frame, which changes nothing. The GIL
is released while the frame is added.)doc")
      .def("preview", reader([](const Sweep& s) { return live_image(s.preview()); }),
           "The live preview, H x W x 3 uint8, read-only; 0 x 0 x 3 before the first accepted frame. Holding "
           "it keeps its pixels, as with ZembStitcher.panorama.")
      .def("preview_band", reader([](const Sweep& s) { return live_image(s.preview_band()); }),
           "The band of the preview every accepted frame covered; read-only.")
      .def("options", reader([](const Sweep& s) { return s.options(); }), "The options (a copy).")
      .def("counts", reader([](const Sweep& s) { return s.counts(); }), "Running counts (a copy).")
      .def("keyframes", reader([](const Sweep& s) { return s.keyframes(); }), "The keyframes so far (copies).")
      .def("links", reader([](const Sweep& s) { return s.links(); }), "Their links so far (copies).")
      .def("keyframe_image", &keyframe_image, py::arg("index"),
           "The kept image of keyframe `index`, H x W x 3 uint8, read-only; read back from the sweep's folder "
           "when it was spilled (RuntimeError once that folder is removed).")
      .def("working_directory", reader([](const Sweep& s) { return from_path(s.working_directory()); }),
           "The folder the sweep made for its spilled images; '' until it needs one.")
      .def("record", &record_of, py::keep_alive<0, 1>(),
           "What finish() renders (a SweepRecord); it reads its images from this sweep, which it keeps alive.")
      .def(
          "finish", [](GuardedSweep& sweep) { return sweep.without_gil([](Sweep& s) { return s.finish(); }); },
          "Renders the record with options().render into a FinishedPanorama. ValueError with fewer than two "
          "keyframes. The GIL is released while it renders.")
      .def(
          "finish",
          [](GuardedSweep& sweep, RenderOptions options) {  // a copy: no thread changes it meanwhile
            return sweep.without_gil([&options](Sweep& s) { return s.finish(options); });
          },
          py::arg("options"), "The same with other RenderOptions.")
      .def(
          "remove_working_directory",
          [](GuardedSweep& sweep) { sweep.without_gil([](Sweep& s) { s.remove_working_directory(); }); },
          "Removes the folder the sweep made, with the images it spilled there; nothing else.");
}

}  // namespace zemb::python
