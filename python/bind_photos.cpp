// A set of photos stitched as one problem: zemb.stitch_photos() and what it
// returns, zemb.PhotoPanorama, zemb.PhotoSetReport, zemb.LeftOutPhoto.
#include <vector>

#include <pybind11/stl.h>
#include <zemb/photos.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

std::vector<cv::Mat> photos_of(const py::sequence& images) {
  std::vector<cv::Mat> photos;
  for (const py::handle& image : images) photos.push_back(typed_view(image, CV_8UC3, "a photo").mat.clone());
  return photos;
}

void bind_report(py::module_& module) {
  py::enum_<PhotoLeftOut>(module, "PhotoLeftOut", "Why a photo is not in the panorama.")
      .value("FEW_FEATURES", PhotoLeftOut::kFewFeatures, "Too few features to match (blank, dark or blurred).")
      .value("NO_CONFIDENT_PAIR", PhotoLeftOut::kNoConfidentPair,
             "No pair with it reached the confidence (another scene).")
      .value("SMALLER_GROUP", PhotoLeftOut::kSmallerGroup, "Its pairs join it to photos outside the largest group.")
      .value("NOT_PLACED", PhotoLeftOut::kNotPlaced, "It joined the group, but the render could not place it.");
  module.def("left_out_name", &left_out_name, py::arg("why"),
             "The name used in reports: 'few features', 'no confident pair', 'smaller group', 'not placed'.");
  py::class_<LeftOutPhoto>(module, "LeftOutPhoto", "A photo not in the panorama, and why.")
      .def_readonly("index", &LeftOutPhoto::index, "In the order given.")
      .def_readonly("why", &LeftOutPhoto::why, "A PhotoLeftOut.")
      .def_readonly("message", &LeftOutPhoto::message, "The same for a person, with the figures behind it.");
  py::class_<PhotoSetReport>(module, "PhotoSetReport", "Which photos joined, which were left out, and the time.")
      .def_readonly("placed", &PhotoSetReport::placed, "Photos in the panorama, ascending indices.")
      .def_readonly("left_out", &PhotoSetReport::left_out, "The others, LeftOutPhoto each, ascending.")
      .def_readonly("pairs_tried", &PhotoSetReport::pairs_tried, "Pairs matched.")
      .def_readonly("pairs_kept", &PhotoSetReport::pairs_kept, "Pairs that reached the confidence.")
      .def_readonly("seconds_features", &PhotoSetReport::seconds_features, "Describing the photos, seconds.")
      .def_readonly("seconds_matching", &PhotoSetReport::seconds_matching, "Matching the pairs, seconds.")
      .def_readonly("seconds_render", &PhotoSetReport::seconds_render, "The render, seconds.");
  py::class_<PhotoPanorama>(module, "PhotoPanorama", "A photo set's panorama and its report.")
      .def_readonly("finished", &PhotoPanorama::finished,
                    "A FinishedPanorama; its report's left_out names photos by their index.")
      .def_readonly("report", &PhotoPanorama::report, "A PhotoSetReport.");
}

}  // namespace

void bind_photos(py::module_& module) {
  bind_report(module);
  module.def(
      "stitch_photos",
      [](const py::sequence& images, PhotoSetOptions options) {  // a copy: no thread changes it meanwhile
        const std::vector<cv::Mat> photos = photos_of(images);
        const py::gil_scoped_release release;
        return zemb::stitch_photos(photos, options);
      },
      py::arg("images"), py::arg("options") = PhotoSetOptions(),
      R"doc(Stitches a set of photos (H x W x 3 uint8 each, any sizes, any order) as one problem: every pair
matched, the largest group the confident pairs join rendered. Returns a PhotoPanorama. ValueError for
fewer than two photos, a photo that is not H x W x 3 uint8, or options that fail check();
RuntimeError naming each photo and why when no two photos join. The GIL is released while it stitches.)doc");
}

}  // namespace zemb::python
