// The library's free functions: frame preparation,
// outline validation, seam repair, descriptor matching and directories.
#include <string>
#include <tuple>
#include <vector>

#include <pybind11/stl.h>
#include <zemb_stitcher.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

MatView image_view(const py::object& image) {
  MatView view = mat_view(image, "image");
  if (view.mat.empty()) throw py::value_error("image is empty");
  return view;
}

std::tuple<py::array, float> reduced_image(const py::object& image, int target, bool by_cols) {
  if (target <= 0) throw py::value_error("target must be positive, got " + std::to_string(target));
  MatView view = image_view(image);
  cv::Mat reduced;
  const float scale = image_resize(view.mat, reduced, target, by_cols ? 1 : 0);
  return {to_array(reduced, Access::writeable), scale};
}

std::tuple<py::array, float> prepare_frame_rows(const py::object& image) {
  MatView view = image_view(image);
  cv::Mat reduced;
  const float scale = frame_resize(view.mat, reduced);
  return {to_array(reduced, Access::writeable), scale};
}

py::array gray_of(const py::object& image) {
  MatView view = image_view(image);
  if (view.mat.channels() != 1 && view.mat.channels() != 3)
    throw py::value_error("to_gray takes an image of 1 or 3 channels, got " + std::to_string(view.mat.channels()));
  cv::Mat gray;
  to_gray(view.mat, gray);
  return to_array(gray, Access::writeable);
}

int image_side(const py::handle& number) {
  try {
    const int side = number.cast<int>();
    if (side >= 0) return side;
  } catch (const py::cast_error&) {
  }
  throw py::value_error("image rows and columns must be whole numbers from 0 to 2**31 - 1, got " +
                        std::string(py::repr(number)));
}

// Only an image's size matters to the coverage measure: an array gives its
// first two dimensions, a sequence its first two numbers (rows, columns).
cv::Mat image_of_size(const py::object& image) {
  const py::tuple shape = py::isinstance<py::array>(image) ? py::tuple(image.attr("shape")) : py::tuple(image);
  if (shape.size() < 2) throw py::value_error("image must be an array of 2 or more dimensions, or (rows, columns)");
  return cv::Mat(image_side(shape[0]), image_side(shape[1]), CV_8UC1);
}

py::array seam_repaired(const py::object& old_canvas, const py::object& new_canvas, const py::object& corners) {
  MatView old_view = typed_view(old_canvas, CV_8UC3, "old_canvas");
  cv::Mat repaired = typed_view(new_canvas, CV_8UC3, "new_canvas").mat.clone();
  std::vector<cv::Point2f> points = to_points(corners, "corners");
  OptimizeSeam(old_view.mat, repaired, points);
  return to_array(repaired, Access::writeable);
}

MatView descriptor_view(const py::object& descriptors, const char* what) {
  MatView view = mat_view(descriptors, what);
  if (view.pixels.ndim() != 2 || (view.mat.depth() != CV_32F && view.mat.depth() != CV_8U))
    throw py::value_error(std::string(what) + " must be a 2-D float32 or uint8 array, one descriptor per row");
  return view;
}

// One row per record: queryIdx, trainIdx, imgIdx, distance.
py::array match_records(const std::vector<cv::DMatch>& matches) {
  py::array_t<double> records({static_cast<ssize_t>(matches.size()), ssize_t{4}});
  auto rows = records.mutable_unchecked<2>();
  for (size_t i = 0; i < matches.size(); ++i) {
    const auto row = static_cast<ssize_t>(i);
    rows(row, 0) = matches[i].queryIdx;
    rows(row, 1) = matches[i].trainIdx;
    rows(row, 2) = matches[i].imgIdx;
    rows(row, 3) = matches[i].distance;
  }
  return records;
}

using Matcher = void (*)(const cv::Mat&, const cv::Mat&, std::vector<cv::DMatch>&, float);

// The matcher over numpy descriptor sets, which must agree in dtype and
// width (when both have rows).
auto matching(Matcher matcher) {
  return [matcher](const py::object& descriptors1, const py::object& descriptors2, float ratio) {
    const MatView first = descriptor_view(descriptors1, "descriptors1");
    const MatView second = descriptor_view(descriptors2, "descriptors2");
    const bool both_rows = first.pixels.shape(0) > 0 && second.pixels.shape(0) > 0;
    if (first.mat.depth() != second.mat.depth() || (both_rows && first.pixels.shape(1) != second.pixels.shape(1)))
      throw py::value_error("descriptors1 and descriptors2 must have the same dtype and width");
    std::vector<cv::DMatch> matches;
    matcher(first.mat, second.mat, matches, ratio);
    return match_records(matches);
  };
}

constexpr const char* kOutlineDoc = R"doc(

An outline is an N x 2 array of (x, y) corners (anything numpy turns into float32) in boundary
order, normally top-left, top-right, bottom-right, bottom-left. Convexity and coverage are judged
on whole pixels (coordinates truncated toward zero). Fewer than four points, a non-finite
coordinate or an extent above 46340 pixels is judged not convex.)doc";

constexpr const char* kMatchDoc = R"doc(

Brute force, Euclidean distance. descriptors1 and descriptors2 are 2-D arrays, one descriptor per
row, both float32 or both uint8, of one width (else ValueError). A descriptor is matched when its
nearest partner is strictly closer than (1 - ratio) times its second-nearest.

Returns an N x 4 float64 array, one match per row: queryIdx (a descriptors1 row), trainIdx (a
descriptors2 row), imgIdx, distance. The first three are whole numbers; take them with
records[:, :2].astype(int).)doc";

}  // namespace

void bind_functions(py::module_& module) {
  module.def("image_resize", &reduced_image, py::arg("image"), py::arg("target"), py::arg("by_cols") = true,
             R"doc(Reduces `image` to at most `target` columns (by_cols) or rows (never enlarged; bilinear, bit-exact)
and returns (reduced, scale), scale being reduced size / source size along that side (1.0 when
the image is not larger). The input is not modified.)doc");
  module.def("frame_resize", &prepare_frame_rows, py::arg("image"), R"doc(Reduces `image` to at most 300 rows (never enlarged) and returns (reduced, scale). The input is
not modified.)doc");
  module.def("to_gray", &gray_of, py::arg("image"), R"doc(A 3-channel image in gray, with the weights of OpenCV's COLOR_RGB2GRAY applied to the channels in
their order (as the stitcher does); a 1-channel image is copied. Returns an H x W array.)doc");

  module.def(
      "is_convex", [](const py::object& box) { return is_convex(to_points(box, "box")); }, py::arg("box"),
      (std::string("True when the whole-pixel outline `box` is convex.") + kOutlineDoc).c_str());
  module.def(
      "calc_angle", [](const py::object& box) { return calc_angle(to_points(box, "box")); }, py::arg("box"),
      (std::string("Inclination from the horizontal, degrees (0 to 90), of the top edge (points 0-1) or the "
                   "bottom edge (points 2-3), whichever is larger; NaN for an edge whose ends coincide. "
                   "ValueError for fewer than four points.") + kOutlineDoc).c_str());
  module.def(
      "calc_area",
      [](const py::object& box, const py::object& image) { return calc_area(to_points(box, "box"), image_of_size(image)); },
      py::arg("box"), py::arg("image"),
      (std::string("Share (0 to 1) of the image's pixels the outline covers, boundary included. `image` is an "
                   "array (only its shape is read) or (rows, columns).") + kOutlineDoc).c_str());
  module.def(
      "is_good_green_box",
      [](const py::object& box, const py::object& image, float min_area_ratio, float max_angle) {
        return is_good_green_box(to_points(box, "box"), image_of_size(image), min_area_ratio, max_angle);
      },
      py::arg("box"), py::arg("image"), py::arg("min_area_ratio"), py::arg("max_angle"),
      (std::string("True when the outline is convex, calc_angle(box) <= max_angle and calc_area(box, image) >= "
                   "min_area_ratio (a NaN limit refuses nothing). `image` is an array (only its shape is read) "
                   "or (rows, columns).") + kOutlineDoc).c_str());

  module.def("OptimizeSeam", &seam_repaired, py::arg("old_canvas"), py::arg("new_canvas"), py::arg("corners"),
             R"doc(Seam repair. Returns a copy of `new_canvas` in which, inside the bounding box of `corners`
(top-left, top-right, bottom-right, bottom-left; N x 2), the pixels of `old_canvas` come back
where the new pixel is empty (0, 0, 0) or lies within 10 pixels of an edge line, wherever the old
pixel is not empty. Neither input is modified. Both canvases H x W x 3 uint8 (ValueError
otherwise); the box is clipped to both.)doc");

  module.def("single_match", matching(&single_match), py::arg("descriptors1"), py::arg("descriptors2"),
             py::arg("ratio"),
             (std::string("Matches every row of descriptors1 in descriptors2, in ascending row order (imgIdx 0).") +
              kMatchDoc).c_str());
  module.def("double_match", matching(&double_match), py::arg("descriptors1"), py::arg("descriptors2"),
             py::arg("ratio"),
             (std::string("Matches in both directions, each pair once: first what single_match gives, then the "
                          "pairs found only from descriptors2's side (imgIdx -1).") + kMatchDoc).c_str());

  module.def(
      "getFilePath",
      [](const py::object& directory, const py::object& entry) {
        const std::string dir_path = to_path(directory);
        const std::string entry_name = to_path(entry);
        std::string joined(dir_path.size() + entry_name.size() + 2, '\0');
        getFilePath(dir_path.c_str(), entry_name.c_str(), joined.data());
        return from_path(joined.c_str());
      },
      py::arg("dir_path"), py::arg("entry_name"),
      "dir_path + '/' + entry_name with a single separator; `entry_name` alone when `dir_path` is empty.");
  module.def(
      "deleteFile", [](const py::object& path) { deleteFile(to_path(path).c_str()); }, py::arg("path"), R"doc(Deletes a regular file, or everything below a directory (the directory stays). Never follows a
symbolic link: links and special files stay, and so does every directory holding one. The
root and "" are never touched. Silent on every failure.)doc");
  module.def(
      "isFloderexit", [](const py::object& path) { return isFloderexit(to_path(path).c_str()); }, py::arg("path"),
      "True when `path` can be opened as a directory (a symbolic link to one counts).");
}

}  // namespace zemb::python
