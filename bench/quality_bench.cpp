// Quality of the finished render against the live panorama and cv::Stitcher:
// each output is registered to the photo its sweep was made from (SIFT
// matches, one RANSAC homography, then per tile a translation by ECC), and
// the local PSNR and SSIM over tiles, the coverage of the swept area, the
// keyframes used and the wall time are printed.
//
//   quality_bench [photo ...]      (default: life.jpg of the photo folder)
//
// Until zemb::Sweep records sweeps, the records come from the record maker
// of the tests; with ZEMB_HAVE_SWEEP, record_of() turns a Sweep into one.
#include <chrono>
#include <cstdio>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/stitching.hpp>
#include <opencv2/video/tracking.hpp>

#include "finish_record_maker.h"

#ifdef ZEMB_HAVE_SWEEP
// A recorded sweep as the finished render reads it; the sweep must outlive it.
zemb::SweepRecord record_of(const zemb::Sweep& sweep) {
  return zemb::SweepRecord{sweep.keyframes(), sweep.links(), [&sweep](int i) { return sweep.keyframe_image(i); }};
}
#endif

namespace {

// What one sweep offers to compare: its record, its live panorama, and the
// truth to measure against.
struct BenchSweep {
  std::string name;
  zemb::SweepRecord record;
  cv::Mat live;                // the live panorama
  cv::Mat photo;
  std::vector<cv::Mat> truth;  // kept-image pixel -> photo pixel
};

// The live placements drawn as the live preview draws them: each keyframe
// pasted over the ones before.
cv::Mat pasted(const zemb::SweepRecord& record) {
  cv::Rect box;
  for (const zemb::Keyframe& k : record.keyframes) {
    std::vector<cv::Point2f> c = {{0, 0}, {float(k.image_size.width), float(k.image_size.height)}}, p;
    cv::perspectiveTransform(c, p, k.placement);
    box |= cv::Rect(cv::Point(p[0]), cv::Point(p[1]));
  }
  cv::Mat canvas = cv::Mat::zeros(box.br().y + 1, box.br().x + 1, CV_8UC3), warped, mask;
  for (std::size_t i = 0; i < record.keyframes.size(); ++i) {
    const cv::Mat image = record.image(int(i));
    cv::warpPerspective(image, warped, record.keyframes[i].placement, canvas.size());
    cv::warpPerspective(cv::Mat(image.size(), CV_8U, cv::Scalar(255)), mask, record.keyframes[i].placement,
                        canvas.size(), cv::INTER_NEAREST);
    warped.copyTo(canvas, mask);
  }
  return canvas;
}

BenchSweep made_sweep(const std::string& name, const cv::Mat& photo, const zemb_test::RecordSettings& settings) {
  zemb_test::MadeRecord made = zemb_test::make_record(photo, settings);
  BenchSweep sweep{name, made.record, cv::Mat(), photo, made.truth};
  sweep.live = pasted(sweep.record);
  return sweep;
}

cv::Mat gray(const cv::Mat& image) {
  cv::Mat g;
  cv::cvtColor(image, g, cv::COLOR_BGR2GRAY);
  return g;
}

cv::Mat covered(const cv::Mat& image) { return gray(image) > 0; }

double ssim(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat x, y;
  a.convertTo(x, CV_64F);
  b.convertTo(y, CV_64F);
  cv::Scalar mx, sx, my, sy;
  cv::meanStdDev(x, mx, sx);
  cv::meanStdDev(y, my, sy);
  const double cov = cv::mean((x - mx[0]).mul(y - my[0]))[0], c1 = 6.5025, c2 = 58.5225;
  return ((2 * mx[0] * my[0] + c1) * (2 * cov + c2)) /
         ((mx[0] * mx[0] + my[0] * my[0] + c1) * (sx[0] * sx[0] + sy[0] * sy[0] + c2));
}

struct Quality {
  double within4 = 0, psnr = 0, ssim = 0, coverage = 0;
};

// SIFT matches to the photo and the homography most of them agree with.
cv::Mat register_to_photo(const cv::Mat& output, const cv::Mat& photo, Quality& q) {
  const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(4000);
  std::vector<cv::KeyPoint> ka, kb;
  cv::Mat da, db;
  sift->detectAndCompute(gray(output), covered(output), ka, da);
  sift->detectAndCompute(gray(photo), cv::noArray(), kb, db);
  std::vector<std::vector<cv::DMatch>> knn;
  cv::BFMatcher(cv::NORM_L2).knnMatch(da, db, knn, 2);
  std::vector<cv::Point2f> from, to;
  for (const auto& m : knn)
    if (m.size() == 2 && m[0].distance < 0.7f * m[1].distance)
      from.push_back(ka[std::size_t(m[0].queryIdx)].pt), to.push_back(kb[std::size_t(m[0].trainIdx)].pt);
  if (from.size() < 8) return cv::Mat();
  std::vector<uchar> inliers;
  cv::Mat h = cv::findHomography(from, to, cv::RANSAC, 4.0, inliers);
  q.within4 = double(cv::countNonZero(inliers)) / double(inliers.size());
  return h;
}

Quality measure(const cv::Mat& output, const BenchSweep& sweep) {
  Quality q;
  const cv::Mat h = register_to_photo(output, sweep.photo, q);
  if (h.empty()) return q;
  cv::Mat expected, mask = covered(output);
  cv::warpPerspective(sweep.photo, expected, h, output.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
  const cv::Mat out_gray = gray(output), exp_gray = gray(expected);
  const int tile = 64;
  int tiles = 0;
  for (int y = 0; y + tile <= output.rows; y += tile)
    for (int x = 0; x + tile <= output.cols; x += tile) {
      const cv::Rect r(x, y, tile, tile);
      if (cv::countNonZero(mask(r)) < tile * tile) continue;
      cv::Mat shift = cv::Mat::eye(2, 3, CV_32F), aligned;
      try {
        cv::findTransformECC(exp_gray(r), out_gray(r), shift, cv::MOTION_TRANSLATION,
                             cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-4),
                             cv::noArray(), 3);
      } catch (const cv::Exception&) {
        shift = cv::Mat::eye(2, 3, CV_32F);
      }
      cv::warpAffine(out_gray(r), aligned, shift, r.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                     cv::BORDER_REFLECT);
      q.psnr += cv::PSNR(aligned, exp_gray(r));
      q.ssim += ssim(aligned, exp_gray(r));
      ++tiles;
    }
  if (tiles > 0) q.psnr /= tiles, q.ssim /= tiles;
  // The swept area: every keyframe's footprint on the photo.
  cv::Mat swept = cv::Mat::zeros(sweep.photo.size(), CV_8U), reached;
  for (std::size_t i = 0; i < sweep.truth.size(); ++i) {
    const cv::Size s = sweep.record.keyframes[i].image_size;
    const float w = float(s.width), ht = float(s.height);
    std::vector<cv::Point2f> c = {{0, 0}, {w, 0}, {w, ht}, {0, ht}}, p;
    cv::perspectiveTransform(c, p, sweep.truth[i]);
    std::vector<cv::Point> poly(p.begin(), p.end());
    cv::fillConvexPoly(swept, poly, cv::Scalar(255));
  }
  cv::erode(swept, swept, cv::Mat(), cv::Point(-1, -1), 3);
  cv::warpPerspective(mask, reached, h, sweep.photo.size(), cv::INTER_NEAREST);
  q.coverage = double(cv::countNonZero(swept & reached)) / double(cv::countNonZero(swept));
  return q;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void print_row(const BenchSweep& sweep, const char* method, const cv::Mat& output, int keyframes, double seconds) {
  const Quality q = measure(output, sweep);
  std::printf("%-14s %-13s %9d %8.2f %7.3f %8.3f %8.3f %9.2f\n", sweep.name.c_str(), method, keyframes, q.psnr, q.ssim,
              q.coverage, q.within4, seconds);
}

void compare(const BenchSweep& sweep, zemb::Scene scene) {
  const int n = int(sweep.record.keyframes.size());
  print_row(sweep, "live", sweep.live, n, 0.0);

  zemb::SweepOptions options;
  options.scene = scene;
  auto start = std::chrono::steady_clock::now();
  const zemb::FinishedPanorama finished = zemb::render_finished(sweep.record, options);
  const double finish_seconds = seconds_since(start);
  print_row(sweep, finished.report.refined ? "finished" : "finished(fb)", finished.panorama,
            finished.report.keyframes_used, finish_seconds);

  std::vector<cv::Mat> frames;
  for (int i = 0; i < n; ++i) frames.push_back(sweep.record.image(i));
  cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::PANORAMA);
  stitcher->setWarper(cv::makePtr<cv::PlaneWarper>());
  cv::Mat stitched;
  start = std::chrono::steady_clock::now();
  const cv::Stitcher::Status status = stitcher->stitch(frames, stitched);
  const double stitch_seconds = seconds_since(start);
  if (status == cv::Stitcher::OK)
    print_row(sweep, "cv::Stitcher", stitched, int(stitcher->component().size()), stitch_seconds);
  else
    std::printf("%-14s %-13s failed (status %d)\n", sweep.name.c_str(), "cv::Stitcher", int(status));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> photos;
  for (int i = 1; i < argc; ++i) photos.push_back(argv[i]);
  if (photos.empty()) photos.push_back(std::string(ZEMB_PHOTO_DIR) + "/life.jpg");
  std::printf("%-14s %-13s %9s %8s %7s %8s %8s %9s\n", "sweep", "output", "keyframes", "PSNR_dB", "SSIM",
              "coverage", "within4", "seconds");
  for (const std::string& path : photos) {
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    cv::resize(photo, photo, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    zemb_test::RecordSettings turning;
    turning.keyframes = 12;
    turning.pan_step = 3;
    compare(made_sweep("turning", photo, turning), zemb::Scene::kTurning);
    zemb_test::RecordSettings flat;
    flat.scene = zemb::Scene::kFlat;
    flat.keyframes = 10;
    compare(made_sweep("flat", photo, flat), zemb::Scene::kFlat);
  }
  return 0;
}
