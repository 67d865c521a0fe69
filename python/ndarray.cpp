#include "ndarray.h"

#include <array>
#include <cstring>
#include <limits>

namespace zemb::python {

namespace {

// The numpy dtypes that are OpenCV depths, told apart by kind and size.
struct DepthType {
  char kind;
  ssize_t itemsize;
  int depth;
  const char* name;
};

constexpr std::array<DepthType, 8> kDepthTypes{{
    {'u', 1, CV_8U, "uint8"},
    {'i', 1, CV_8S, "int8"},
    {'u', 2, CV_16U, "uint16"},
    {'i', 2, CV_16S, "int16"},
    {'i', 4, CV_32S, "int32"},
    {'f', 2, CV_16F, "float16"},
    {'f', 4, CV_32F, "float32"},
    {'f', 8, CV_64F, "float64"},
}};

std::string type_name(const py::handle& object) { return py::str(py::type::of(object).attr("__name__")); }

std::string dtype_name(const py::dtype& dtype) { return py::str(static_cast<const py::handle&>(dtype)); }

// Native byte order only: OpenCV reads the bytes as they lie.
int depth_of(const py::dtype& dtype, const char* what) {
  const bool native = dtype.byteorder() == '=' || dtype.byteorder() == '|';
  for (const DepthType& type : kDepthTypes)
    if (native && type.kind == dtype.kind() && type.itemsize == dtype.itemsize()) return type.depth;
  throw py::value_error(std::string(what) + " has dtype " + dtype_name(dtype) +
                        "; OpenCV images hold uint8, int8, uint16, int16, int32, float16, float32 or float64");
}

py::dtype dtype_of(int depth) {
  for (const DepthType& type : kDepthTypes)
    if (type.depth == depth) return py::dtype(type.name);
  CV_Error(cv::Error::StsUnsupportedFormat, "no numpy dtype for OpenCV depth " + std::to_string(depth));
}

int channels_of(const py::array& array, const char* what) {
  if (array.ndim() == 2) return 1;
  if (array.ndim() == 3 && array.shape(2) >= 1 && array.shape(2) <= CV_CN_MAX)
    return static_cast<int>(array.shape(2));
  if (array.ndim() == 3)
    throw py::value_error(std::string(what) + " has " + std::to_string(array.shape(2)) +
                          " channels; an image has 1 to " + std::to_string(CV_CN_MAX));
  throw py::value_error(std::string(what) + " has " + std::to_string(array.ndim()) +
                        " dimensions; an image is rows x columns (x channels)");
}

int side_of(const py::array& array, int axis, const char* what) {
  if (array.shape(axis) > std::numeric_limits<int>::max())
    throw py::value_error(std::string(what) + " is too large for an OpenCV image");
  return static_cast<int>(array.shape(axis));
}

// A cv::Mat can walk the array's rows when each row's pixels follow each
// other, the row step is a whole number of pixels, and the data is aligned.
bool rows_walkable(const py::array& array, size_t pixel_bytes) {
  const ssize_t channel_bytes = array.itemsize();
  const bool pixels_packed = array.strides(1) == static_cast<ssize_t>(pixel_bytes) &&
                             (array.ndim() == 2 || array.strides(2) == channel_bytes);
  const ssize_t row_step = array.strides(0);
  const bool rows_apart = array.shape(0) <= 1 ||
                          (row_step >= array.shape(1) * static_cast<ssize_t>(pixel_bytes) &&
                           row_step % static_cast<ssize_t>(pixel_bytes) == 0);
  return pixels_packed && rows_apart && (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
}

py::array contiguous_copy(const py::array& array) {
  return py::module_::import("numpy").attr("ascontiguousarray")(array);
}

}  // namespace

MatView mat_view(const py::handle& object, const char* what) {
  if (!py::isinstance<py::array>(object))
    throw py::type_error(std::string(what) + " must be a numpy array, not " + type_name(object));
  py::array array = py::reinterpret_borrow<py::array>(object);
  const int channels = channels_of(array, what);
  const int type = CV_MAKETYPE(depth_of(array.dtype(), what), channels);
  const int rows = side_of(array, 0, what);
  const int cols = side_of(array, 1, what);
  if (array.size() == 0) return {array, cv::Mat(rows, cols, type)};  // no pixels, but its width
  const size_t pixel_bytes = CV_ELEM_SIZE(type);
  if (!rows_walkable(array, pixel_bytes)) array = contiguous_copy(array);
  const size_t step = rows == 1 ? size_t{cv::Mat::AUTO_STEP} : static_cast<size_t>(array.strides(0));
  // The library reads these pixels and never writes them, so a read-only
  // array is viewed just the same.
  return {array, cv::Mat(rows, cols, type, const_cast<void*>(array.data()), step)};
}

MatView typed_view(const py::handle& object, int type, const char* what) {
  MatView view = mat_view(object, what);
  if (view.mat.type() != type || view.mat.empty())
    throw py::value_error(std::string(what) + " must be a non-empty " + cv::typeToString(type) +
                          " image, got " + (view.mat.empty() ? "an empty one" : cv::typeToString(view.mat.type())));
  return view;
}

py::array to_array(const cv::Mat& mat, Access access) {
  std::vector<ssize_t> shape{mat.rows, mat.cols};
  std::vector<ssize_t> strides{static_cast<ssize_t>(mat.step[0]), static_cast<ssize_t>(mat.elemSize())};
  if (mat.channels() > 1) {
    shape.push_back(mat.channels());
    strides.push_back(static_cast<ssize_t>(mat.elemSize1()));
  }
  if (mat.empty()) return py::array(dtype_of(mat.depth()), shape);
  // Pixels the library does not own (a view of someone's memory) are copied,
  // so that the capsule really keeps them alive.
  auto* held = new cv::Mat(mat.u != nullptr ? mat : mat.clone());
  py::capsule owner(held, [](void* pointer) { delete static_cast<cv::Mat*>(pointer); });
  py::array array(dtype_of(mat.depth()), shape, strides, held->data, owner);
  if (access == Access::read_only) array.attr("setflags")(py::arg("write") = false);
  return array;
}

py::array live_image(const cv::Mat& image) {
  return to_array(image.empty() ? cv::Mat(0, 0, CV_8UC3) : image, Access::read_only);
}

std::vector<cv::Point2f> to_points(const py::handle& object, const char* what) {
  using Points = py::array_t<float, py::array::c_style | py::array::forcecast>;
  if (object.is_none()) throw py::type_error(std::string(what) + " must be an N x 2 array of points, not None");
  const Points points = Points::ensure(object);
  if (points && points.size() == 0) return {};  // [] too, which numpy makes one-dimensional
  if (!points || points.ndim() != 2 || points.shape(1) != 2)
    throw py::value_error(std::string(what) + " must be an N x 2 array of points (x, y)");
  const auto* first = reinterpret_cast<const cv::Point2f*>(points.data());
  return std::vector<cv::Point2f>(first, first + points.shape(0));
}

py::array points_array(const std::vector<cv::Point2f>& points) {
  py::array_t<float> array({static_cast<ssize_t>(points.size()), ssize_t{2}});
  if (!points.empty()) std::memcpy(array.mutable_data(), points.data(), points.size() * sizeof(cv::Point2f));
  array.attr("setflags")(py::arg("write") = false);
  return std::move(array);
}

cv::Mat to_matrix(const py::handle& object, const char* what) {
  using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;
  if (object.is_none()) return cv::Mat();
  const Matrix matrix = Matrix::ensure(object);
  if (!matrix || matrix.ndim() != 2 || matrix.shape(0) != 3 || matrix.shape(1) != 3)
    throw py::value_error(std::string(what) + " must be a 3 x 3 array (or None)");
  return cv::Mat(3, 3, CV_64F, const_cast<double*>(matrix.data())).clone();
}

py::object matrix_or_none(const cv::Mat& matrix) {
  if (matrix.empty()) return py::none();
  cv::Mat own;
  matrix.convertTo(own, CV_64F);
  return to_array(own, Access::read_only);
}

std::string to_path(const py::handle& object) {
  const std::string path = py::bytes(py::module_::import("os").attr("fsencode")(object));
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte in path");
  return path;
}

py::object from_path(const std::string& path) {
  return py::module_::import("os").attr("fsdecode")(py::bytes(path));
}

void register_error_translation() {
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const cv::Exception& error) {
      if (error.code == cv::Error::StsBadArg)
        PyErr_SetString(PyExc_ValueError, error.err.c_str());
      else
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
  });
}

}  // namespace zemb::python
