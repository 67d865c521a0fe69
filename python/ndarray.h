// numpy arrays in and out of the library's cv::Mat, and the Python form of
// its errors.
#ifndef ZEMB_PYTHON_NDARRAY_H
#define ZEMB_PYTHON_NDARRAY_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace zemb::python {

namespace py = pybind11;

// A cv::Mat over an array's pixels and the array that holds them: the
// caller's own, or a contiguous copy of it. The library only reads it.
struct MatView {
  py::array pixels;
  cv::Mat mat;
};

// `object` as a cv::Mat: a 2-D array is one channel, a 3-D one has shape[2]
// channels. The caller's pixels are used as they are when each row's pixels
// lie next to each other (a cv::Mat has a row step but no pixel step);
// otherwise they are copied. TypeError for anything but a numpy array,
// ValueError for another number of dimensions or a dtype OpenCV cannot hold.
// `what` names the argument in the messages.
MatView mat_view(const py::handle& object, const char* what);

// Like mat_view, but the image must be of `type` (ValueError otherwise).
MatView typed_view(const py::handle& object, int type, const char* what);

enum class Access { read_only, writeable };

// An array over `mat`'s pixels (2-D for one channel, else 3-D) that keeps
// them alive: its base is a capsule holding a cv::Mat reference, so while
// Python holds the array the pixels count as shared and the library leaves
// them alone.
py::array to_array(const cv::Mat& mat, Access access);

// A live result of a stitcher or sweep: H x W x 3 (0 x 0 x 3 while empty)
// and read-only, since it is the library's own memory.
py::array live_image(const cv::Mat& image);

// An N x 2 array of points (anything numpy turns into float32); any empty one is none.
std::vector<cv::Point2f> to_points(const py::handle& object, const char* what);
// Points as an N x 2 float32 array of their own, read-only: a copy, so
// writing to it could change nothing.
py::array points_array(const std::vector<cv::Point2f>& points);

// A 3x3 transform from anything numpy turns into float64, as a CV_64F
// matrix of its own; None gives an empty one.
cv::Mat to_matrix(const py::handle& object, const char* what);
// A transform as a read-only 3x3 float64 array of its own, or None when empty.
py::object matrix_or_none(const cv::Mat& matrix);

// A path argument (str, bytes or os.PathLike) as the bytes the file system
// gets; ValueError for an embedded NUL, which would cut the path short.
std::string to_path(const py::handle& object);
// A path the library gives back, decoded as Python decodes file names.
py::object from_path(const std::string& path);

// cv::Exception from the library: ValueError for a bad argument (StsBadArg),
// RuntimeError for any other failure.
void register_error_translation();

}  // namespace zemb::python

#endif  // ZEMB_PYTHON_NDARRAY_H
