// The record of a sweep and its finished render: zemb.Keyframe,
// zemb.KeyframeLink, zemb.SweepRecord, zemb.render() and what it returns.
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>
#include <zemb/record.h>
#include <zemb/render.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

using SizePair = std::pair<int, int>;  // (width, height), as cv::Size

SizePair size_pair(cv::Size size) { return {size.width, size.height}; }

cv::Size size_of(const SizePair& size) {
  if (size.first < 0 || size.second < 0) throw py::value_error("a size is (width, height), neither negative");
  return {size.first, size.second};
}

py::tuple rect_tuple(const cv::Rect& rect) { return py::make_tuple(rect.x, rect.y, rect.width, rect.height); }

py::tuple covered_rectangle(const py::handle& mask) {
  return rect_tuple(largest_covered_rectangle(typed_view(mask, CV_8UC1, "mask").mat));
}

std::vector<cv::Point2f> points_or_none(const py::object& points, const char* what) {
  return points.is_none() ? std::vector<cv::Point2f>() : to_points(points, what);
}

// A Python callable taking a keyframe index, called with the GIL taken,
// since a render calls it without. The callable itself goes with the GIL
// too, wherever the last copy of the record ends.
std::function<cv::Mat(int)> calling(const py::object& callable) {
  const std::shared_ptr<py::object> held(new py::object(callable), [](py::object* object) {
    const py::gil_scoped_acquire gil;
    delete object;
  });
  return [held](int index) {
    const py::gil_scoped_acquire gil;
    const py::object image = (*held)(index);
    return typed_view(image, CV_8UC3, "the image a SweepRecord's callable returned").mat.clone();
  };
}

// A sink that hands each tile to a Python callable as write(left, top,
// tile), with the GIL taken, since render_tiled calls it without.
class CallingSink : public PanoramaSink {
 public:
  explicit CallingSink(const py::object& write) : write_(write) {}
  void begin(cv::Size) override {}
  void write(const cv::Rect& area, const cv::Mat& tile) override {
    const py::gil_scoped_acquire gil;
    write_(area.x, area.y, to_array(tile.clone(), Access::writeable));
  }
  void end() override {}

 private:
  const py::object& write_;
};

// Images of the record's own, one per keyframe.
std::function<cv::Mat(int)> listed(const py::sequence& images, std::size_t keyframes) {
  if (images.size() != keyframes)
    throw py::value_error("a SweepRecord takes one image per keyframe: " + std::to_string(keyframes) +
                          " keyframes, " + std::to_string(images.size()) + " images");
  auto kept = std::make_shared<std::vector<cv::Mat>>();
  for (const py::handle& image : images) kept->push_back(typed_view(image, CV_8UC3, "a keyframe image").mat.clone());
  return [kept](int index) { return kept->at(static_cast<std::size_t>(index)); };
}

std::function<cv::Mat(int)> image_source(const py::object& image, std::size_t keyframes) {
  if (image.is_none()) return {};
  if (PyCallable_Check(image.ptr())) return calling(image);
  if (py::isinstance<py::list>(image) || py::isinstance<py::tuple>(image))
    return listed(py::reinterpret_borrow<py::sequence>(image), keyframes);
  throw py::type_error("image must be a callable taking a keyframe index, or a list of images");
}

SweepRecord record_from(Scene scene, std::vector<Keyframe> keyframes, std::vector<KeyframeLink> links,
                        const py::object& image, const py::object& overlay, Direction direction) {
  SweepRecord record;
  record.image = image_source(image, keyframes.size());
  record.scene = scene;
  record.keyframes = std::move(keyframes);
  record.links = std::move(links);
  if (!overlay.is_none()) record.overlay = typed_view(overlay, CV_8UC1, "overlay").mat.clone();
  record.direction = direction;
  return record;
}

py::array record_image(const SweepRecord& record, int index) {
  if (!record.image) throw py::value_error("this SweepRecord was made without images");
  if (index < 0 || static_cast<std::size_t>(index) >= record.keyframes.size())
    throw py::index_error("keyframe index " + std::to_string(index) + " out of range");
  return to_array(record.image(index), Access::read_only);
}

void bind_keyframes(py::module_& module) {
  py::class_<Keyframe>(module, "Keyframe", "A keyframe as the finished render needs it.")
      .def(py::init([](int frame_index, const SizePair& image_size, const py::object& placement,
                       const py::object& rotation, double focal) {
             return Keyframe{frame_index, size_of(image_size), to_matrix(placement, "placement"),
                             to_matrix(rotation, "rotation"), focal};
           }),
           py::arg("frame_index") = 0, py::arg("image_size") = SizePair(0, 0), py::arg("placement") = py::none(),
           py::arg("rotation") = py::none(), py::arg("focal") = 0.0)
      .def_readwrite("frame_index", &Keyframe::frame_index, "The add() call (0-based) that gave it.")
      .def_property(
          "image_size", [](const Keyframe& keyframe) { return size_pair(keyframe.image_size); },
          [](Keyframe& keyframe, const SizePair& size) { keyframe.image_size = size_of(size); },
          "(width, height) of the kept image.")
      .def_property(
          "placement", [](const Keyframe& keyframe) { return matrix_or_none(keyframe.placement); },
          [](Keyframe& keyframe, const py::object& matrix) { keyframe.placement = to_matrix(matrix, "placement"); },
          "A flat scene: kept-image pixel -> live plane pixel, 3 x 3 float64 (read-only; assign a new one), or None.")
      .def_property(
          "rotation", [](const Keyframe& keyframe) { return matrix_or_none(keyframe.rotation); },
          [](Keyframe& keyframe, const py::object& matrix) { keyframe.rotation = to_matrix(matrix, "rotation"); },
          "A turning camera: camera-to-world rotation, 3 x 3 float64 (read-only; assign a new one), or None.")
      .def_readwrite("focal", &Keyframe::focal, "A turning camera: focal length in kept-image pixels; 0 otherwise.")
      .def("__repr__", [](const Keyframe& keyframe) {
        return cv::format("Keyframe(frame_index=%d, image_size=(%d, %d), placement=...)", keyframe.frame_index,
                          keyframe.image_size.width, keyframe.image_size.height);
      });

  py::class_<KeyframeLink>(module, "KeyframeLink",
                           "Point correspondences between two keyframes, in their kept-image pixels.")
      .def(py::init([](int from, int to, const py::object& from_points, const py::object& to_points) {
             return KeyframeLink{from, to, points_or_none(from_points, "from_points"),
                                 points_or_none(to_points, "to_points")};
           }),
           py::arg("from_") = 0, py::arg("to") = 0, py::arg("from_points") = py::none(),
           py::arg("to_points") = py::none())
      .def_readwrite("from_", &KeyframeLink::from, "The earlier keyframe (C++: from).")
      .def_readwrite("to", &KeyframeLink::to, "The later keyframe.")
      .def_property(
          "from_points", [](const KeyframeLink& link) { return points_array(link.from_points); },
          [](KeyframeLink& link, const py::object& points) { link.from_points = to_points(points, "from_points"); },
          "N x 2 float32 (x, y) in the earlier keyframe (read-only; assign a new array).")
      .def_property(
          "to_points", [](const KeyframeLink& link) { return points_array(link.to_points); },
          [](KeyframeLink& link, const py::object& points) { link.to_points = to_points(points, "to_points"); },
          "N x 2 float32 (x, y) in the later keyframe, pairwise with from_points.")
      .def("__repr__", [](const KeyframeLink& link) {
        return cv::format("KeyframeLink(from_=%d, to=%d, %zu points)", link.from, link.to, link.from_points.size());
      });
}

void bind_record(py::module_& module) {
  py::class_<SweepRecord>(module, "SweepRecord", R"doc(What a sweep records for its finished render: the keyframes, the point
correspondences between them, and a way to read each keyframe's kept image. zemb.render() takes
nothing else, so a record made here renders as one from Sweep.record() does.

SweepRecord(scene, keyframes, links, image, overlay, direction): `image` is a callable taking a
keyframe index and returning its H x W x 3 uint8 image, or a list of such images, one per keyframe.
A render, which runs without the GIL, takes it back for each call of the callable. `overlay` (H x W
uint8, or None) is 255 on content fixed in the frame, which the render leaves out of every
keyframe; `direction` the way the camera travelled (UP and DOWN render a turning sweep across its tilt,
turned upright; AUTO leaves the render to tell from the rotations). A record is not changed after it is made.)doc")
      .def(py::init(&record_from), py::arg("scene") = Scene::kTurning,
           py::arg("keyframes") = std::vector<Keyframe>(), py::arg("links") = std::vector<KeyframeLink>(),
           py::arg("image") = py::none(), py::arg("overlay") = py::none(), py::arg("direction") = Direction::kAuto)
      .def_property_readonly(
          "scene", [](const SweepRecord& record) { return record.scene; }, "What the camera did.")
      .def_property_readonly(
          "keyframes", [](const SweepRecord& record) { return record.keyframes; }, "A list of Keyframe (copies).")
      .def_property_readonly(
          "links", [](const SweepRecord& record) { return record.links; }, "A list of KeyframeLink (copies).")
      .def_property_readonly(
          "overlay",
          [](const SweepRecord& record) -> py::object {
            if (record.overlay.empty()) return py::none();
            return to_array(record.overlay.clone(), Access::read_only);
          },
          "H x W uint8, 255 on content fixed in the frame (a logo, a timestamp) in the first keyframe's pixels, "
          "or None.")
      .def_property_readonly(
          "direction", [](const SweepRecord& record) { return record.direction; },
          "The way the camera travelled (a Direction).")
      .def("image", &record_image, py::arg("index"),
           "The kept image of keyframe `index`: H x W x 3 uint8, read-only. A record of a sweep reads it from "
           "the sweep.");
}

void bind_finished(py::module_& module) {
  py::enum_<RenderFallback>(module, "RenderFallback", "Why the render did not place the keyframes with the scene's own model.")
      .value("NONE", RenderFallback::kNone, "The scene's own model was used.")
      .value("UNLINKED", RenderFallback::kUnlinked,
             "Correspondences join too few of the keyframes: the whole render is the live one.")
      .value("ADJUSTMENT_FAILED", RenderFallback::kAdjustmentFailed,
             "The bundle adjustment did not converge or gave no finite result.")
      .value("IMPLAUSIBLE", RenderFallback::kImplausible, "The refinement converged but its result is implausible.")
      .value("RAISED", RenderFallback::kRaised, "An OpenCV step of the refinement raised an error.")
      .value("POOR_FIT", RenderFallback::kPoorFit,
             "The model leaves the correspondences further apart than RenderOptions.max_residual.");
  module.def("fallback_name", &fallback_name, py::arg("fallback"),
             "The name used in reports: 'none', 'unlinked', 'adjustment failed', 'implausible', 'raised', ...");
  py::enum_<RenderModel>(module, "RenderModel", "How the keyframes were placed on the finished panorama.")
      .value("ROTATION", RenderModel::kRotation, "A camera turning about its centre: a rotation and a focal length each.")
      .value("HOMOGRAPHY", RenderModel::kHomography, "A plane transform each, adjusted over all the correspondences.")
      .value("SIMILARITY", RenderModel::kSimilarity, "A rotation, a uniform scale and a shift each (a flat scene).")
      .value("LIVE", RenderModel::kLive, "As the sweep placed them live, unrefined.");
  module.def("model_name", &model_name, py::arg("model"),
             "The name used in reports: 'rotation', 'homography', 'similarity', 'live'.");

  py::class_<FinishReport>(module, "FinishReport", "What a render reports.")
      .def_readonly("keyframes_used", &FinishReport::keyframes_used, "Keyframes in the render.")
      .def_readonly("refined", &FinishReport::refined, "True when an adjustment placed the keyframes (model not LIVE).")
      .def_readonly("model", &FinishReport::model, "How the keyframes were placed: a RenderModel.")
      .def_readonly("fallback", &FinishReport::fallback, "Why not with the scene's own model, when not: a RenderFallback.")
      .def_readonly("fallback_message", &FinishReport::fallback_message,
                    "The same for a person; empty when the scene's own model was used.")
      .def_readonly("left_out", &FinishReport::left_out, "Keyframes not in the render, ascending.")
      .def_readonly("focal", &FinishReport::focal,
                    "The refined focal length in kept-image pixels when the model is ROTATION, else 0.")
      .def_readonly("residual_median", &FinishReport::residual_median,
                    "How far apart the placements leave the correspondences, kept pixels: the median.")
      .def_readonly("residual_p90", &FinishReport::residual_p90, "The same, 90th percentile.")
      .def_property_readonly(
          "size", [](const FinishReport& report) { return size_pair(report.size); },
          "(width, height) of the finished panorama.")
      .def_property_readonly(
          "placements",
          [](const FinishReport& report) {
            py::list placements;
            for (const cv::Mat& placement : report.placements) placements.append(matrix_or_none(placement));
            return placements;
          },
          "Where each keyframe of the record landed: kept-image pixel -> finished panorama pixel, 3 x 3 float64 "
          "(read-only), or None for keyframes left out and on a cylinder.")
      .def_readonly("seconds_refine", &FinishReport::seconds_refine, "Wall time of the refinement, seconds.")
      .def_readonly("seconds_exposure", &FinishReport::seconds_exposure, "Of exposure compensation, seconds.")
      .def_readonly("seconds_seams", &FinishReport::seconds_seams, "Of seam finding, seconds.")
      .def_readonly("seconds_blend", &FinishReport::seconds_blend, "Of blending, seconds.")
      .def_readonly("seconds_total", &FinishReport::seconds_total, "Of the whole render, seconds.");

  py::class_<PanoramaProjection>(module, "PanoramaProjection",
                                 "Where the pixels of a panorama placed by rotations look (rays: x right, y down, z "
                                 "ahead).")
      .def_readonly("surface", &PanoramaProjection::surface,
                    "PLANE, CYLINDER or SPHERE; AUTO when plane transforms placed the keyframes (no rays).")
      .def_readonly("scale", &PanoramaProjection::scale,
                    "Panorama pixels a radian (cylinder, sphere) or a unit of tangent (plane).")
      .def_property_readonly(
          "centre", [](const PanoramaProjection& p) { return std::make_pair(p.centre.x, p.centre.y); },
          "(x, y): where the ray straight ahead falls, before any turn.")
      .def_readonly("turn_columns", &PanoramaProjection::turn_columns,
                    "Columns of one whole turn when the panorama goes all the way round, else 0.")
      .def_readonly("turned", &PanoramaProjection::turned,
                    "A sweep up or down: projected round a lying axis, then turned a quarter turn clockwise.")
      .def_property_readonly(
          "cameras",
          [](const PanoramaProjection& p) {
            py::list cameras;
            for (const cv::Mat& camera : p.cameras) cameras.append(matrix_or_none(camera));
            return cameras;
          },
          "Keyframe i: kept-image pixel -> ray, a 3 x 3 float64 array, or None for keyframes not in the render.")
      .def(
          "pixel_of",
          [](const PanoramaProjection& p, const std::array<double, 3>& ray) {
            const cv::Point2d pixel = p.pixel_of(cv::Vec3d(ray[0], ray[1], ray[2]));
            return std::make_pair(pixel.x, pixel.y);
          },
          py::arg("ray"), "The panorama pixel (x, y) a ray (x, y, z) falls on.")
      .def(
          "ray_of",
          [](const PanoramaProjection& p, const std::pair<double, double>& pixel) {
            const cv::Vec3d ray = p.ray_of(cv::Point2d(pixel.first, pixel.second));
            return py::make_tuple(ray[0], ray[1], ray[2]);
          },
          py::arg("pixel"), "The ray (x, y, z) a panorama pixel (x, y) shows.");

  py::class_<FinishedPanorama>(module, "FinishedPanorama", "A finished render: the panorama, its mask and a report.")
      .def_property_readonly(
          "panorama", [](const FinishedPanorama& finished) { return to_array(finished.panorama, Access::writeable); },
          "H x W x 3 uint8, oriented like the live preview; the caller's own (writeable).")
      .def_property_readonly(
          "mask", [](const FinishedPanorama& finished) { return to_array(finished.mask, Access::writeable); },
          "H x W uint8, 255 where a keyframe covered the panorama.")
      .def_property_readonly(
          "crop",
          [](const FinishedPanorama& finished) { return rect_tuple(finished.crop); },
          "(x, y, width, height): the largest rectangle of the panorama with no empty pixel.")
      .def(
          "cropped", [](const FinishedPanorama& finished) { return to_array(finished.cropped(), Access::writeable); },
          "The panorama within crop: h x w x 3 uint8 over the panorama's own pixels.")
      .def_readonly("projection", &FinishedPanorama::projection, "A PanoramaProjection.")
      .def_readonly("report", &FinishedPanorama::report, "A FinishReport.");
  module.def("largest_covered_rectangle", &covered_rectangle,
             py::arg("mask"),
             "(x, y, width, height) of the largest rectangle of non-zero pixels of an H x W uint8 mask, found "
             "exactly; (0, 0, 0, 0) when every pixel is zero.");

  module.def(
      "render",
      [](const SweepRecord& record, RenderOptions options) {  // a copy: no thread changes it meanwhile
        const py::gil_scoped_release release;
        return zemb::render(record, options);
      },
      py::arg("record"), py::arg("options"), R"doc(Renders `record` into a FinishedPanorama: with refined placements, or with the live ones when
the refinement fails (the report says why). ValueError for fewer than two keyframes, links that
name no pair of keyframes, or options that fail check(). The GIL is released while it renders.)doc");
  module.def(
      "render_tiled",
      [](const SweepRecord& record, RenderOptions options, const py::object& write) {
        if (!PyCallable_Check(write.ptr())) throw py::type_error("render_tiled: `write` is not callable");
        CallingSink sink(write);
        const py::gil_scoped_release release;
        return zemb::render_tiled(record, options, sink);
      },
      py::arg("record"), py::arg("options"), py::arg("write"), R"doc(Renders `record` as render() does, but tile by tile (options.tile_size) at up to
options.max_pyramid_megapixels, calling write(left, top, tile) for each tile, a row of tiles
after the other, top to bottom (within a row in no set order): `tile` is an H x W x 3 uint8 array,
the caller's own, of the panorama's pixels from column `left` and row `top`. Returns the
FinishReport (its size is the panorama's). An exception raised by `write` comes out as it was
raised; the render's own errors as render()'s.)doc");
}

}  // namespace

void bind_render(py::module_& module) {
  bind_keyframes(module);
  bind_record(module);
  bind_finished(module);
}

}  // namespace zemb::python
