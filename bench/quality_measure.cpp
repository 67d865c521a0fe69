#include "quality_measure.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

namespace zemb_quality {

namespace {

constexpr Tiling kPhotoTiling{64, 32};  // panorama pixels
constexpr double kWithin = 4.0;         // panorama pixels

cv::Mat gray(const cv::Mat& image) {
  cv::Mat g;
  cv::cvtColor(image, g, cv::COLOR_BGR2GRAY);
  return g;
}

// SIFT works on a copy of at most this many pixels: on a long slide's strip
// (50,000 columns) the full image's pyramid would hold tens of gigabytes.
constexpr double kMostDetectedPixels = 8e6;

// SIFT features of an image where `mask` (may be empty) is set, found on a
// copy reduced to kMostDetectedPixels, in the image's own pixels.
void detect(const cv::Mat& image, const cv::Mat& mask, std::vector<cv::KeyPoint>& keypoints, cv::Mat& descriptors) {
  const double scale = std::min(1.0, std::sqrt(kMostDetectedPixels / double(image.total())));
  cv::Mat g = gray(image), m = mask;
  if (scale < 1) {
    cv::resize(g, g, cv::Size(), scale, scale, cv::INTER_AREA);
    if (!m.empty()) cv::resize(m, m, g.size(), 0, 0, cv::INTER_NEAREST);
  }
  if (m.empty()) m = cv::Mat(g.size(), CV_8U, cv::Scalar(255));
  cv::SIFT::create(6000)->detectAndCompute(g, m, keypoints, descriptors);
  const cv::Point2f half(0.5f, 0.5f);
  for (cv::KeyPoint& keypoint : keypoints) keypoint.pt = (keypoint.pt + half) / float(scale) - half;
}

// Mutual nearest neighbours that also pass the ratio test: few false matches
// are left, so the share of matches off the homography measures the
// panorama's bends rather than the matcher's mistakes.
void mutual_matches(const std::vector<cv::KeyPoint>& ka, const cv::Mat& da, const std::vector<cv::KeyPoint>& kb,
                    const cv::Mat& db, std::vector<cv::Point2f>& a, std::vector<cv::Point2f>& b) {
  std::vector<std::vector<cv::DMatch>> forward;
  std::vector<cv::DMatch> backward;
  cv::BFMatcher matcher(cv::NORM_L2);
  matcher.knnMatch(da, db, forward, 2);
  matcher.match(db, da, backward);
  for (const auto& m : forward)
    if (m.size() == 2 && m[0].distance < 0.7f * m[1].distance &&
        backward[std::size_t(m[0].trainIdx)].trainIdx == m[0].queryIdx) {
      a.push_back(ka[std::size_t(m[0].queryIdx)].pt);
      b.push_back(kb[std::size_t(m[0].trainIdx)].pt);
    }
}

// The photo and the homography from it to the panorama, the photo reduced
// first when the panorama is much smaller, so that the comparison does not
// charge the panorama for the aliasing of a plain warp.
void reduce_for(const cv::Mat& photo, const cv::Mat& photo_to_panorama, cv::Mat& reduced,
                cv::Mat& reduced_to_panorama) {
  const double scale = std::sqrt(std::abs(cv::determinant(photo_to_panorama(cv::Rect(0, 0, 2, 2))))) /
                       std::abs(photo_to_panorama.at<double>(2, 2));
  if (!(scale < 0.9)) {
    reduced = photo, reduced_to_panorama = photo_to_panorama;
    return;
  }
  cv::resize(photo, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
  reduced_to_panorama = photo_to_panorama * resizing(scale).inv();
}

double mean_ssim(const cv::Mat& x, const cv::Mat& y) {
  const double c1 = 6.5025, c2 = 58.5225;  // (0.01 * 255)^2, (0.03 * 255)^2
  auto blur = [](const cv::Mat& m) {
    cv::Mat b;
    cv::GaussianBlur(m, b, cv::Size(11, 11), 1.5);
    return b;
  };
  const cv::Mat mx = blur(x), my = blur(y);
  const cv::Mat vx = blur(x.mul(x)) - mx.mul(mx), vy = blur(y.mul(y)) - my.mul(my), cov = blur(x.mul(y)) - mx.mul(my);
  const cv::Mat num = (2 * mx.mul(my) + c1).mul(2 * cov + c2);
  const cv::Mat den = (mx.mul(mx) + my.mul(my) + c1).mul(vx + vy + c2);
  return cv::mean(num / den)[0];
}

// Whether every panorama pixel that the tile moved by `warp`'s shift reads
// (bilinear: one more each way) is shown.
bool reads_shown(const cv::Mat& shown, cv::Rect tile, int reach, const cv::Mat& warp) {
  const cv::Rect read(tile.x - reach + cvFloor(warp.at<float>(0, 2)), tile.y - reach + cvFloor(warp.at<float>(1, 2)),
                      tile.width + 1, tile.height + 1);
  return (read & cv::Rect(cv::Point(), shown.size())) == read && cv::countNonZero(shown(read)) == read.area();
}

// The panorama around `tile` moved onto the expected tile: phase correlation
// finds the shift, ECC refines it; a failed or runaway ECC keeps the shift.
// A shift that would read pixels the panorama does not show (`shown`) is not
// taken: on a featureless tile at the panorama's edge both methods can pull
// the tile onto the black beyond, and the panorama would be charged for
// pixels nobody sees. The tile then stays where it is (it is fully shown).
cv::Mat aligned_tile(const cv::Mat& panorama, const cv::Mat& expected, const cv::Mat& shown, cv::Rect tile,
                     int reach) {
  const cv::Rect around(tile.x - reach, tile.y - reach, tile.width + 2 * reach, tile.height + 2 * reach);
  const cv::Mat input = panorama(around), wanted = expected(tile);
  cv::Point2d shift = cv::phaseCorrelate(wanted, panorama(tile));
  if (std::hypot(shift.x, shift.y) > reach * 3 / 4) shift = cv::Point2d();
  cv::Mat warp = (cv::Mat_<float>(2, 3) << 1, 0, reach + shift.x, 0, 1, reach + shift.y);
  const cv::Mat start = warp.clone();
  try {
    cv::findTransformECC(wanted, input, warp, cv::MOTION_TRANSLATION,
                         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-4), cv::noArray(), 1);
    if (std::abs(warp.at<float>(0, 2) - reach) > reach || std::abs(warp.at<float>(1, 2) - reach) > reach)
      warp = start;
  } catch (const cv::Exception&) {
    warp = start;
  }
  if (!reads_shown(shown, tile, reach, warp))
    warp = reads_shown(shown, tile, reach, start) ? start : (cv::Mat_<float>(2, 3) << 1, 0, reach, 0, 1, reach);
  cv::Mat aligned;
  cv::warpAffine(input, aligned, warp, tile.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
  return aligned;
}

}  // namespace

cv::Mat resizing(double scale) {
  // cv::resize lines up pixel centres: x resized = (x + 1/2) * scale - 1/2.
  const double shift = (scale - 1) / 2;
  return (cv::Mat_<double>(3, 3) << scale, 0, shift, 0, scale, shift, 0, 0, 1);
}

cv::Mat gray_float(const cv::Mat& image) {
  cv::Mat f;
  gray(image).convertTo(f, CV_32F);
  return f;
}

void TileErrors::add(const TileErrors& other) {
  squared_error += other.squared_error;
  ssim_sum += other.ssim_sum;
  pixels += other.pixels;
  tiles += other.tiles;
}

double TileErrors::psnr() const {
  return tiles == 0 ? std::nan("") : 10 * std::log10(255.0 * 255.0 / (squared_error / pixels));
}

double TileErrors::ssim() const { return tiles == 0 ? std::nan("") : ssim_sum / tiles; }

TileErrors compare_tiles(const cv::Mat& image, const cv::Mat& expected, const cv::Mat& both, Tiling tiling) {
  TileErrors errors;
  const int side = tiling.side, reach = tiling.reach;
  for (int y = reach; y + side + reach <= image.rows; y += side)
    for (int x = reach; x + side + reach <= image.cols; x += side) {
      const cv::Rect tile(x, y, side, side);
      if (cv::countNonZero(both(tile)) < side * side) continue;
      const cv::Mat aligned = aligned_tile(image, expected, both, tile, reach);
      const cv::Mat wanted = expected(tile).clone();  // filters would read a view's neighbours
      const double error = cv::norm(aligned, wanted, cv::NORM_L2);
      errors.squared_error += error * error;
      errors.ssim_sum += mean_ssim(aligned, wanted);
      errors.pixels += double(side) * side;
      ++errors.tiles;
    }
  return errors;
}

Reference::Reference(cv::Mat photo) : photo_(std::move(photo)) {
  detect(photo_, cv::Mat(), keypoints_, descriptors_);
}

Quality Reference::measure(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept) const {
  Quality q;
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  detect(panorama, covered, keypoints, descriptors);
  std::vector<cv::Point2f> in_photo, in_panorama;
  if (!descriptors.empty()) mutual_matches(keypoints_, descriptors_, keypoints, descriptors, in_photo, in_panorama);
  q.matches = int(in_photo.size());
  if (q.matches < 8) return q;
  std::vector<uchar> inliers;
  const cv::Mat photo_to_panorama =
      cv::findHomography(in_photo, in_panorama, cv::RANSAC, kWithin, inliers, 5000, 0.999);
  if (photo_to_panorama.empty()) return q;
  q.registered = true;
  q.within4 = double(cv::countNonZero(inliers)) / double(inliers.size());
  compare(panorama, covered, swept, photo_to_panorama, q);
  return q;
}

// The part of the photo that the panorama's box shows: OpenCV warps no image
// past 32767 pixels a side, and a long slide's strip is longer.
cv::Rect shown_part(cv::Size photo, cv::Size panorama, const cv::Mat& photo_to_panorama) {
  const float w = float(panorama.width), h = float(panorama.height);
  std::vector<cv::Point2f> corners = {{0, 0}, {w, 0}, {w, h}, {0, h}}, seen;
  cv::perspectiveTransform(corners, seen, cv::Mat(photo_to_panorama.inv()));
  const cv::Rect box = cv::boundingRect(seen);
  return cv::Rect(box.x - 2, box.y - 2, box.width + 4, box.height + 4) & cv::Rect(cv::Point(), photo);
}

void Reference::compare(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept,
                        const cv::Mat& photo_to_panorama, Quality& q) const {
  const cv::Rect part = shown_part(photo_.size(), panorama.size(), photo_to_panorama);
  if (part.empty()) return;  // registered by matches that put the panorama off the photo: nothing to compare
  const cv::Mat part_to_panorama =
      photo_to_panorama * (cv::Mat_<double>(3, 3) << 1, 0, part.x, 0, 1, part.y, 0, 0, 1);
  cv::Mat reduced, reduced_to_panorama, expected, seen;
  reduce_for(photo_(part), part_to_panorama, reduced, reduced_to_panorama);
  cv::warpPerspective(reduced, expected, reduced_to_panorama, panorama.size(), cv::INTER_LINEAR);
  cv::warpPerspective(cv::Mat(reduced.size(), CV_8U, cv::Scalar(255)), seen, reduced_to_panorama, panorama.size(),
                      cv::INTER_NEAREST);
  const TileErrors errors = compare_tiles(gray_float(panorama), gray_float(expected), seen & covered, kPhotoTiling);
  q.tiles = errors.tiles;
  if (q.tiles > 0) q.psnr = errors.psnr(), q.ssim = errors.ssim();

  cv::Mat reached;
  cv::warpPerspective(covered, reached, part_to_panorama, part.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
  q.coverage = double(cv::countNonZero(swept(part) & reached)) / double(cv::countNonZero(swept));
}

Quality Reference::measure_placed(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept,
                                  const zemb_tools::KeyframePlaces& places) const {
  const zemb_tools::TruthFit fit = zemb_tools::fit_to_truth(places, kWithin);
  if (fit.photo_to_panorama.empty()) return measure(panorama, covered, swept);
  Quality q;
  q.matches = fit.points;
  q.registered = true;
  q.within4 = fit.within;
  q.length = fit.length;
  compare(panorama, covered, swept, fit.photo_to_panorama, q);
  return q;
}

cv::Mat swept_area(cv::Size photo_size, cv::Size frame_size, const std::vector<cv::Matx33d>& photo_to_frame) {
  cv::Mat swept = cv::Mat::zeros(photo_size, CV_8U);
  const float w = float(frame_size.width - 1), h = float(frame_size.height - 1);
  const std::vector<cv::Point2f> corners = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  for (const cv::Matx33d& to_frame : photo_to_frame) {
    std::vector<cv::Point2f> seen;
    cv::perspectiveTransform(corners, seen, cv::Mat(to_frame.inv()));
    const std::vector<cv::Point> polygon(seen.begin(), seen.end());
    cv::fillConvexPoly(swept, polygon, cv::Scalar(255));
  }
  // A panorama is not blamed for the last pixels of a frame's edge.
  cv::erode(swept, swept, cv::Mat(), cv::Point(-1, -1), 3);
  return swept;
}

cv::Mat covered_part(const cv::Mat& panorama) {
  std::vector<cv::Mat> channels;
  cv::split(panorama, channels);
  cv::Mat any = channels[0] | channels[1] | channels[2], covered;
  cv::morphologyEx(any > 0, covered, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
  return covered;
}

}  // namespace zemb_quality
