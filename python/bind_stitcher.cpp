// zemb.ZembStitcher, the result names of its ofcheck_stitch() and zemb.last_status().
#include <string>
#include <utility>

#include <zemb/results.h>
#include <zemb_stitcher.h>

#include "bindings.h"
#include "guarded.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

// A ZembStitcher with the calls the binding answers itself: a call made
// while another thread's call is under way (busy, as in C++), and a frame
// that is not an image at all. frame_count counts them too, as ZembStitcher
// counts every call of its own.
struct Stitcher {
  explicit Stitcher(std::string path) : library(std::move(path)) {}

  Guarded<ZembStitcher> library;
  int answered_here = 0;  // changed and read with the GIL held only
};

MatView frame_view(Stitcher& self, const py::object& frame) {
  try {
    return mat_view(frame, "frame");
  } catch (...) {
    ++self.answered_here;
    throw;
  }
}

int stitch_frame(Stitcher& self, const py::object& frame) {
  const MatView view = frame_view(self, frame);
  const auto result = self.library.without_gil_unless_busy([&view](ZembStitcher& stitcher) {
    cv::Mat header = view.mat;  // the library releases the header it gets, not the pixels
    return stitcher.ofcheck_stitch(header);
  });
  if (!result) ++self.answered_here;
  return result.value_or(kBusy);
}

template <typename Value>
auto reader(Value ZembStitcher::*field) {
  return [field](Stitcher& self) { return self.library.with_gil([field](ZembStitcher& s) { return s.*field; }); };
}

}  // namespace

void bind_stitcher(py::module_& module) {
  module.attr("BUSY") = kBusy;
  module.attr("NOT_EXTENDED") = kNotExtended;
  module.attr("NOT_PLACEABLE") = kNotPlaceable;

  py::class_<Stitcher>(module, "ZembStitcher", R"doc(The incremental stitcher: one per panorama, fed one camera frame at a time.

ZembStitcher(path) takes `path` (str or os.PathLike) as its working directory and EMPTIES it
when it exists: every regular file and subdirectory below it is deleted (symbolic links stay).
A missing directory is not created. Give each stitcher a directory of its own.

A stitcher may be used from several threads; its calls are taken one at a time. An
ofcheck_stitch() made while another thread's is under way returns BUSY at once.
)doc")
      .def(py::init([](const py::object& path) { return std::make_unique<Stitcher>(to_path(path)); }),
           py::arg("path"), "Takes `path` as working directory and empties it when it exists.")
      .def("ofcheck_stitch", &stitch_frame, py::arg("frame"), R"doc(Adds one camera frame: an H x W x 3 uint8 array, BGR, all frames of one size. Sweep the camera
toward the top edge of its frames. The array is never modified; it is used without a copy when
the pixels of each row lie next to each other (any C-contiguous array, or a crop of one).

Returns, as ZembStitcher::ofcheck_stitch does:
  BUSY (0)           another thread's ofcheck_stitch() on this stitcher is under way; nothing changed
  NOT_EXTENDED (-1)  the frame does not extend the panorama far enough; nothing changed
  NOT_PLACEABLE (-2) the frame could not be placed; nothing changed
  1 to 19            too few keypoints, or too few points tracked (0 for a frame without any)
  20 or more         the first frame's keypoints, or a placed frame's smaller of keypoints and tracked

zemb.last_status(stitcher) tells the same as a FrameStatus. Unlike in C++, the caller's array
is not released. Raises ValueError for a frame that is empty, not uint8 with 3 channels, or not
of the first frame's size (the stitcher is left unchanged), TypeError when `frame` is not a numpy
array. The GIL is released while the frame is stitched.
)doc")
      .def_property_readonly(
          "panorama",
          [](Stitcher& self) { return self.library.with_gil([](ZembStitcher& s) { return live_image(s.panorama); }); },
          R"doc(The whole canvas, H x W x 3 uint8 (0 x 0 x 3 before the first frame); read-only.

The array shares the stitcher's memory without a copy and keeps its pixels for as long as you
hold it: while it is held, the stitcher builds the next canvas elsewhere (about one memcpy of
the panorama per frame); once every such array is dropped, it grows the panorama in place again.
Copy it (numpy.array(p)) to change it or to keep it cheaply across many frames.
)doc")
      .def_property_readonly(
          "cropped",
          [](Stitcher& self) { return self.library.with_gil([](ZembStitcher& s) { return live_image(s.cropped); }); },
          "The band of the panorama that every accepted frame covered; read-only, held like `panorama`.")
      .def_property_readonly(
          "frame_count",
          [](Stitcher& self) {
            return self.library.with_gil([&self](ZembStitcher& s) { return s.frame_count + self.answered_here; });
          },
          "Calls of ofcheck_stitch(), refused ones included.")
      .def_property_readonly("state", reader(&ZembStitcher::state),
                             "0 before the first ofcheck_stitch(), 3 after one (1 is never seen: a call under way is "
                             "waited for).")
      .def_property_readonly("crop_top", reader(&ZembStitcher::crop_top), "First row of the band, float.")
      .def_property_readonly("crop_bottom", reader(&ZembStitcher::crop_bottom),
                             "First row below the band, float.")
      .def_property_readonly("crop_right", reader(&ZembStitcher::crop_right),
                             "First column right of the band (the band starts at column 0), float.")
      .def_property(
          "min_keypoints", reader(&ZembStitcher::min_keypoints),
          [](Stitcher& self, int count) { self.library.with_gil([count](ZembStitcher& s) { s.min_keypoints = count; }); },
          "Least keypoints, and least tracked points, for a frame to go on (20).")
      .def_property_readonly(
          "local_path",
          [](Stitcher& self) { return self.library.with_gil([](ZembStitcher& s) { return from_path(s.local_path); }); },
          "The working directory, as given.")
      .def(
          "remove_local_path",
          [](Stitcher& self) { self.library.without_gil([](ZembStitcher& s) { s.remove_local_path(); }); },
          "Empties and removes the working directory; silent on every failure.");

  module.def(
      "last_status",
      [](Stitcher& self) { return self.library.with_gil([](ZembStitcher& s) { return zemb::last_status(s); }); },
      py::arg("stitcher"),
      "The FrameStatus of the stitcher's last ofcheck_stitch() that was not refused as busy (or the default "
      "status before the first); a call that raised leaves it as it was.");
}

}  // namespace zemb::python
