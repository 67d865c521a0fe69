// The zemb Python module: the fixed stitcher, the sweep, its record and
// render, and the free functions of zemb_stitcher over numpy arrays.
#include "bindings.h"
#include "ndarray.h"

PYBIND11_MODULE(zemb, module) {
  module.doc() =
      "Incremental panorama stitching of camera frames (zemb_stitcher).\n\n"
      "Images are numpy arrays: H x W x 3 uint8 in BGR order for colour, H x W for gray, as OpenCV's\n"
      "Python module (cv2) reads and writes them. A bad argument raises ValueError with the library's\n"
      "message; any other failure of the library raises RuntimeError. Long calls\n"
      "(ZembStitcher.ofcheck_stitch, Sweep.add, Sweep.finish, render, stitch_photos) release the GIL.";
  zemb::python::register_error_translation();
  zemb::python::bind_options(module);
  zemb::python::bind_status(module);
  zemb::python::bind_render(module);
  zemb::python::bind_photos(module);
  zemb::python::bind_stitcher(module);
  zemb::python::bind_sweep(module);
  zemb::python::bind_functions(module);
}
