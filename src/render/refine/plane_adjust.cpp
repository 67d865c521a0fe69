// The plane models: every keyframe a plane transform (a homography, or a
// similarity for a flat scene) onto the plane of the window's middle
// keyframe, started by chaining the pairs' transforms along the strongest
// pairs (a maximum spanning tree), then adjusted over all the correspondences
// at once (Levenberg-Marquardt), so that the errors of one chain do not pile
// up into drift. Homographies fit whatever one plane explains: a flat scene
// seen by a camera that moves, or turns, or both; their plane is tilted so
// that the keyframes come out of about one size, so that a scene seen at a
// slant is drawn square on, not as the middle keyframe saw it.
#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/optim.hpp>
#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

constexpr double kLeastDecrease = 1e-10;  // relative decrease of the cost that ends the adjustment
constexpr double kMostDamping = 1e12;

// Kept pixels -> coordinates about the image's centre in half its longer
// side, where the transforms' entries are of like size.
cv::Matx33d normalising(cv::Size size) {
  const double s = std::max(size.width, size.height) * 0.5;
  return {1 / s, 0, -size.width * 0.5 / s, 0, 1 / s, -size.height * 0.5 / s, 0, 0, 1};
}

// A transform with its bottom-right entry 1.
struct HomographyModel {
  static constexpr int kParams = 8;
  using Params = cv::Matx<double, kParams, 1>;
  using Jacobian = cv::Matx<double, 2, kParams>;

  static Params params_of(const cv::Matx33d& t) {
    const cv::Matx33d h = t * (1.0 / t(2, 2));
    return {h(0, 0), h(0, 1), h(0, 2), h(1, 0), h(1, 1), h(1, 2), h(2, 0), h(2, 1)};
  }
  static cv::Matx33d transform_of(const Params& p) { return {p(0), p(1), p(2), p(3), p(4), p(5), p(6), p(7), 1}; }

  // Where p maps x to, and how that moves with p.
  static cv::Point2d mapped(const Params& p, const cv::Point2d& x, Jacobian* jacobian) {
    const double w = p(6) * x.x + p(7) * x.y + 1;
    const double u = (p(0) * x.x + p(1) * x.y + p(2)) / w, v = (p(3) * x.x + p(4) * x.y + p(5)) / w;
    if (jacobian)
      *jacobian = Jacobian(x.x / w, x.y / w, 1 / w, 0, 0, 0, -u * x.x / w, -u * x.y / w,  //
                           0, 0, 0, x.x / w, x.y / w, 1 / w, -v * x.x / w, -v * x.y / w);
    return {u, v};
  }

  static cv::Mat pair_transform(const LinkedPair& pair) { return pair.homography; }

  // A homography's scale is not held (it fits a camera that moves nearer).
  static double scale_residual(const Params&, Params*) { return 0; }
};

// [a -b tx; b a ty; 0 0 1]: a turn, a uniform scale and a shift.
struct SimilarityModel {
  static constexpr int kParams = 4;
  using Params = cv::Matx<double, kParams, 1>;
  using Jacobian = cv::Matx<double, 2, kParams>;

  static Params params_of(const cv::Matx33d& t) {
    const cv::Matx33d h = t * (1.0 / t(2, 2));
    return {(h(0, 0) + h(1, 1)) / 2, (h(1, 0) - h(0, 1)) / 2, h(0, 2), h(1, 2)};
  }
  static cv::Matx33d transform_of(const Params& p) { return {p(0), -p(1), p(2), p(1), p(0), p(3), 0, 0, 1}; }

  static cv::Point2d mapped(const Params& p, const cv::Point2d& x, Jacobian* jacobian) {
    if (jacobian) *jacobian = Jacobian(x.x, -x.y, 1, 0, x.y, x.x, 0, 1);
    return {p(0) * x.x - p(1) * x.y + p(2), p(1) * x.x + p(0) * x.y + p(3)};
  }

  // How far the transform's scale is from 1 (a keyframe at the root's
  // distance from the scene), and how that moves with p.
  static double scale_residual(const Params& p, Params* gradient) {
    const double scale = std::max(1e-12, std::hypot(p(0), p(1)));
    if (gradient) *gradient = Params(p(0) / scale, p(1) / scale, 0, 0);
    return scale - 1;
  }

  // The pair's similarity; its homography when no similarity explains it.
  static cv::Mat pair_transform(const LinkedPair& pair) {
    const cv::Mat affine = cv::estimateAffinePartial2D(pair.from_points, pair.to_points);
    if (affine.empty()) return pair.homography;
    cv::Mat h = cv::Mat::eye(3, 3, CV_64F);
    affine.copyTo(h.rowRange(0, 2));
    return h;
  }
};

// The window's correspondences in normalised coordinates.
struct Correspondence {
  int from, to;
  cv::Point2d from_point, to_point;
};

std::vector<Correspondence> normalised(const LinkGraph& window) {
  std::vector<Correspondence> all;
  for (const LinkedPair& pair : window.pairs) {
    const cv::Matx33d a = normalising(window.sizes[std::size_t(pair.from)]);
    const cv::Matx33d b = normalising(window.sizes[std::size_t(pair.to)]);
    for (std::size_t k = 0; k < pair.from_points.size(); ++k) {
      const cv::Vec3d p = a * cv::Vec3d(pair.from_points[k].x, pair.from_points[k].y, 1);
      const cv::Vec3d q = b * cv::Vec3d(pair.to_points[k].x, pair.to_points[k].y, 1);
      all.push_back({pair.from, pair.to, {p[0], p[1]}, {q[0], q[1]}});
    }
  }
  return all;
}

// Kept pixel -> the root keyframe's pixels, chained from the root along the
// pairs with the most correspondences (Prim's maximum spanning tree).
template <class Model>
std::vector<cv::Mat> chained(const LinkGraph& window, int root) {
  std::vector<cv::Mat> transforms(window.sizes.size());
  std::vector<bool> placed(window.sizes.size(), false);
  transforms[std::size_t(root)] = cv::Mat::eye(3, 3, CV_64F);
  placed[std::size_t(root)] = true;
  for (;;) {
    const LinkedPair* best = nullptr;
    for (const LinkedPair& pair : window.pairs)
      if (placed[std::size_t(pair.from)] != placed[std::size_t(pair.to)] &&
          (!best || pair.from_points.size() > best->from_points.size()))
        best = &pair;
    if (!best) return transforms;
    const cv::Mat h = Model::pair_transform(*best);  // from -> to
    if (placed[std::size_t(best->from)])
      transforms[std::size_t(best->to)] = transforms[std::size_t(best->from)] * h.inv();
    else
      transforms[std::size_t(best->from)] = transforms[std::size_t(best->to)] * h;
    placed[std::size_t(best->from)] = placed[std::size_t(best->to)] = true;
  }
}

// The root's parameters stay as they start: it holds the plane's gauge.
template <class Model>
class Adjustment {
 public:
  using Params = typename Model::Params;
  using Jacobian = typename Model::Jacobian;
  static constexpr int kParams = Model::kParams;

  // `scale_weight` holds every keyframe's scale at the root's: a keyframe's
  // scale off by d costs as much as scale_weight correspondences at its
  // edge off by d.
  Adjustment(const LinkGraph& window, int root, std::vector<Params> params, double scale_weight)
      : correspondences_(normalised(window)), root_(root), params_(std::move(params)),
        scale_weight_(std::sqrt(scale_weight)) {}

  // Levenberg-Marquardt with Marquardt's scaling; false on a result that is
  // not finite.
  bool run(int iterations) {
    double cost = cost_of(params_), damping = 1e-3;
    for (int iteration = 0; iteration < iterations && damping < kMostDamping; ++iteration) {
      cv::Mat normal, gradient;
      linearise(normal, gradient);
      for (; damping < kMostDamping; damping *= 10) {
        const std::vector<Params> trial = stepped(normal, gradient, damping);
        const double trial_cost = trial.empty() ? cost : cost_of(trial);
        if (trial_cost >= cost) continue;
        const bool settled = cost - trial_cost < kLeastDecrease * cost;
        params_ = trial, cost = trial_cost, damping = std::max(damping / 10, 1e-9);
        if (settled) return std::isfinite(cost);
        break;
      }
    }
    return std::isfinite(cost);
  }

  const std::vector<Params>& params() const { return params_; }

 private:
  int variable(int keyframe) const { return keyframe < root_ ? keyframe : keyframe - 1; }

  double cost_of(const std::vector<Params>& params) const {
    double cost = 0;
    for (const Correspondence& c : correspondences_) {
      const cv::Point2d r = Model::mapped(params[std::size_t(c.from)], c.from_point, nullptr) -
                            Model::mapped(params[std::size_t(c.to)], c.to_point, nullptr);
      cost += r.dot(r);
    }
    for (const Params& p : params) {
      const double r = scale_weight_ * Model::scale_residual(p, nullptr);
      cost += r * r;
    }
    return cost;
  }

  // The normal equations J^T J and J^T r of the residuals T_from(p) - T_to(q).
  void linearise(cv::Mat& normal, cv::Mat& gradient) const {
    const int n = kParams * (static_cast<int>(params_.size()) - 1);
    normal = cv::Mat::zeros(n, n, CV_64F);
    gradient = cv::Mat::zeros(n, 1, CV_64F);
    for (const Correspondence& c : correspondences_) {
      Jacobian jf, jt;
      const cv::Point2d r = Model::mapped(params_[std::size_t(c.from)], c.from_point, &jf) -
                            Model::mapped(params_[std::size_t(c.to)], c.to_point, &jt);
      const cv::Matx21d residual(r.x, r.y);
      const std::pair<int, Jacobian> blocks[] = {{c.from, jf}, {c.to, -jt}};
      for (const auto& [a, ja] : blocks) {
        if (a == root_) continue;
        const Params g = ja.t() * residual;
        for (int i = 0; i < kParams; ++i) gradient.at<double>(kParams * variable(a) + i) += g(i);
        for (const auto& [b, jb] : blocks) {
          if (b == root_) continue;
          const cv::Matx<double, kParams, kParams> block = ja.t() * jb;
          for (int i = 0; i < kParams; ++i)
            for (int j = 0; j < kParams; ++j)
              normal.at<double>(kParams * variable(a) + i, kParams * variable(b) + j) += block(i, j);
        }
      }
    }
    add_scale_hold(normal, gradient);
  }

  void add_scale_hold(cv::Mat& normal, cv::Mat& gradient) const {
    for (int k = 0; k < static_cast<int>(params_.size()); ++k) {
      if (k == root_) continue;
      Params g;
      const double r = scale_weight_ * Model::scale_residual(params_[std::size_t(k)], &g);
      g *= scale_weight_;
      for (int i = 0; i < kParams; ++i) {
        gradient.at<double>(kParams * variable(k) + i) += g(i) * r;
        for (int j = 0; j < kParams; ++j)
          normal.at<double>(kParams * variable(k) + i, kParams * variable(k) + j) += g(i) * g(j);
      }
    }
  }

  std::vector<Params> stepped(const cv::Mat& normal, const cv::Mat& gradient, double damping) const {
    cv::Mat damped = normal.clone(), step;
    for (int i = 0; i < damped.rows; ++i) damped.at<double>(i, i) += damping * (normal.at<double>(i, i) + 1e-12);
    if (!cv::solve(damped, -gradient, step, cv::DECOMP_CHOLESKY) || !cv::checkRange(step)) return {};
    std::vector<Params> trial = params_;
    for (std::size_t k = 0; k < trial.size(); ++k)
      if (int(k) != root_)
        for (int i = 0; i < kParams; ++i) trial[k](i) += step.at<double>(kParams * variable(int(k)) + i);
    return trial;
  }

  std::vector<Correspondence> correspondences_;
  int root_;
  std::vector<Params> params_;
  double scale_weight_;
};

// How unevenly a tilt of the panorama's plane (its line at infinity moved by
// x, in units of the panorama's reach from its centre) sizes the keyframes:
// the variance of the log-areas of their outlines. An outline it folds or
// sends behind the camera costs more than any.
class Unevenness : public cv::MinProblemSolver::Function {
 public:
  explicit Unevenness(std::vector<std::vector<cv::Point2d>> outlines) : outlines_(std::move(outlines)) {}

  static cv::Matx33d tilt(const double* x) { return {1, 0, 0, 0, 1, 0, x[0], x[1], 1}; }

  int getDims() const override { return 2; }

  double calc(const double* x) const override {
    constexpr double kFolded = 1e6;
    const cv::Matx33d t = tilt(x);
    std::vector<double> logs;
    for (const std::vector<cv::Point2d>& outline : outlines_) {
      std::vector<cv::Point2f> tilted;
      for (const cv::Point2d& corner : outline) {
        const cv::Vec3d p = t * cv::Vec3d(corner.x, corner.y, 1);
        if (p[2] < 0.05) return kFolded;
        tilted.emplace_back(float(p[0] / p[2]), float(p[1] / p[2]));
      }
      const double area = cv::contourArea(tilted, true);
      if (!(area > 0)) return kFolded;
      logs.push_back(std::log(area));
    }
    cv::Scalar mean, deviation;
    cv::meanStdDev(logs, mean, deviation);
    return deviation[0] * deviation[0];
  }

 private:
  std::vector<std::vector<cv::Point2d>> outlines_;
};

}  // namespace

std::vector<cv::Mat> levelled(std::vector<cv::Mat> transforms, const std::vector<int>& used,
                              const std::vector<cv::Size>& sizes) {
  std::vector<std::vector<cv::Point2d>> outlines;
  cv::Point2d centre;
  for (int index : used) {
    const double w = sizes[std::size_t(index)].width, h = sizes[std::size_t(index)].height;
    std::vector<cv::Point2d> outline;
    cv::perspectiveTransform(std::vector<cv::Point2d>{{0, 0}, {w, 0}, {w, h}, {0, h}}, outline,
                             transforms[std::size_t(index)]);
    for (const cv::Point2d& corner : outline) centre += corner / (4.0 * used.size());
    outlines.push_back(outline);
  }
  // Outlines about the centre, in units of the farthest corner's distance.
  double reach = 1e-9;
  for (const std::vector<cv::Point2d>& outline : outlines)
    for (const cv::Point2d& corner : outline) reach = std::max(reach, cv::norm(corner - centre));
  const cv::Matx33d to_unit(1 / reach, 0, -centre.x / reach, 0, 1 / reach, -centre.y / reach, 0, 0, 1);
  for (std::vector<cv::Point2d>& outline : outlines)
    for (cv::Point2d& corner : outline) corner = (corner - centre) / reach;
  cv::Mat x = cv::Mat::zeros(1, 2, CV_64F);
  const cv::Ptr<cv::DownhillSolver> solver = cv::DownhillSolver::create(
      cv::makePtr<Unevenness>(outlines), cv::Mat(cv::Matx12d(0.1, 0.1)),
      cv::TermCriteria(cv::TermCriteria::MAX_ITER + cv::TermCriteria::EPS, 200, 1e-10));
  solver->minimize(x);
  const cv::Matx33d level = to_unit.inv() * Unevenness::tilt(x.ptr<double>()) * to_unit;
  for (int index : used) transforms[std::size_t(index)] = cv::Mat(level) * transforms[std::size_t(index)];
  return transforms;
}

namespace {

// A window's plane transforms: chained from its middle keyframe (for
// homographies onto the levelled plane), then adjusted.
template <class Model>
WindowAdjuster plane_adjuster(int iterations, bool level, double scale_weight) {
  return [iterations, level, scale_weight](const LinkGraph& window, std::vector<cv::detail::CameraParams>& cameras) {
    const int root = static_cast<int>(window.sizes.size()) / 2;
    std::vector<cv::Mat> start = chained<Model>(window, root);
    if (level) start = levelled(std::move(start), window.joined, window.sizes);
    const cv::Matx33d to_root = normalising(window.sizes[std::size_t(root)]);
    std::vector<typename Model::Params> params;
    for (std::size_t k = 0; k < start.size(); ++k)
      params.push_back(Model::params_of(to_root * cv::Matx33d(start[k]) * normalising(window.sizes[k]).inv()));
    Adjustment<Model> adjustment(window, root, params, scale_weight);
    if (!adjustment.run(iterations)) return false;
    cameras.assign(start.size(), cv::detail::CameraParams());
    for (std::size_t k = 0; k < start.size(); ++k)
      cameras[k].R = cv::Mat(to_root.inv() * Model::transform_of(adjustment.params()[k]) *
                             normalising(window.sizes[k]));
    return true;
  };
}

}  // namespace

WindowAdjuster homography_adjuster(int iterations) { return plane_adjuster<HomographyModel>(iterations, true, 0); }

WindowAdjuster similarity_adjuster(int iterations, double scale_weight) {
  return plane_adjuster<SimilarityModel>(iterations, false, scale_weight);
}

}  // namespace rendering
}  // namespace zemb
