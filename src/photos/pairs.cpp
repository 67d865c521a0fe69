// Which pairs of photos are matched. A set of up to all_pairs_up_to photos
// is small enough to match every pair; beyond that the pairs grow with the
// square of the set, so each photo is matched against its neighbours in the
// order given (photos are usually taken in turn) and a shortlist of the
// photos that look most alike by a histogram of visual words, which finds
// overlaps the order hides (a second row, a set out of order).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <tuple>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

// Descriptors a photo gives the vocabulary, and the words in it: enough to
// tell scenes apart, a fraction of a second to cluster.
constexpr int kSampledPerPhoto = 300;
constexpr int kWords = 256;
constexpr int kClusterIterations = 10;

cv::Mat sampled_descriptors(const std::vector<Described>& photos) {
  cv::Mat samples;
  for (const Described& photo : photos) {
    const cv::Mat descriptors = photo.features.descriptors.getMat(cv::ACCESS_READ);
    const int stride = std::max(1, descriptors.rows / kSampledPerPhoto);
    for (int row = 0; row < descriptors.rows; row += stride) samples.push_back(descriptors.row(row));
  }
  return samples;
}

// The words: descriptors clustered by k-means from labels dealt in turn, so
// that one set gives one vocabulary on every run.
cv::Mat vocabulary(const cv::Mat& samples) {
  const int words = std::min(kWords, samples.rows);
  cv::Mat labels(samples.rows, 1, CV_32S), centres;
  for (int row = 0; row < samples.rows; ++row) labels.at<int>(row) = row % words;
  cv::kmeans(samples, words, labels,
             cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, kClusterIterations, 1e-3), 1,
             cv::KMEANS_USE_INITIAL_LABELS, centres);
  return centres;
}

// Each photo's word counts (a row each, CV_32F).
cv::Mat word_counts(const std::vector<Described>& photos, const cv::Mat& words) {
  cv::Mat counts = cv::Mat::zeros(static_cast<int>(photos.size()), words.rows, CV_32F);
  cv::BFMatcher nearest(cv::NORM_L2);
  for (std::size_t i = 0; i < photos.size(); ++i) {
    if (photos[i].features.descriptors.empty()) continue;
    std::vector<cv::DMatch> matches;
    nearest.match(photos[i].features.descriptors, words, matches);
    for (const cv::DMatch& match : matches) counts.at<float>(int(i), match.trainIdx) += 1.0f;
  }
  return counts;
}

// Rows of square-rooted counts weighted by how rare each word is across the
// set, of unit length: the dot product of two rows says how alike they look.
cv::Mat signatures(const cv::Mat& counts) {
  cv::Mat weighted;
  cv::sqrt(counts, weighted);
  for (int word = 0; word < counts.cols; ++word) {
    const int holding = cv::countNonZero(counts.col(word));
    weighted.col(word) *= std::log((counts.rows + 1.0) / (holding + 1.0));
  }
  for (int row = 0; row < weighted.rows; ++row) {
    const double length = cv::norm(weighted.row(row));
    if (length > 0) weighted.row(row) /= length;
  }
  return weighted;
}

// A content key of each photo: its size, then a hash of a small grey copy
// (any order of two alike keys gives the same work, the photos being alike).
std::tuple<int, int, std::uint64_t> content_key(const cv::Mat& image) {
  cv::Mat grey, thumbnail;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::resize(grey, thumbnail, cv::Size(16, 16), 0, 0, cv::INTER_AREA);
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (const uchar* byte = thumbnail.ptr(); byte != thumbnail.ptr() + thumbnail.total(); ++byte)
    hash = (hash ^ *byte) * 1099511628211ull;
  return {image.cols, image.rows, hash};
}

}  // namespace

// Where every pair is matched, the order given is only a name: which photo
// of a pair is matched into the other, the order of the points a robust fit
// samples and the ties of the spanning tree would otherwise follow it. A
// larger set keeps the order given, which chooses its pairs.
std::vector<int> working_order(const std::vector<cv::Mat>& images, const PhotoMatchOptions& options) {
  std::vector<int> given(images.size());
  std::iota(given.begin(), given.end(), 0);
  if (static_cast<int>(images.size()) > options.all_pairs_up_to) return given;
  std::vector<std::tuple<int, int, std::uint64_t>> keys;
  for (const cv::Mat& image : images) keys.push_back(content_key(image));
  std::stable_sort(given.begin(), given.end(),
                   [&keys](int a, int b) { return keys[std::size_t(a)] < keys[std::size_t(b)]; });
  return given;
}

std::vector<std::vector<int>> most_alike(const std::vector<Described>& photos, int count) {
  std::vector<std::vector<int>> alike(photos.size());
  const cv::Mat samples = sampled_descriptors(photos);
  if (samples.rows < 2 || count <= 0) return alike;
  const cv::Mat rows = signatures(word_counts(photos, vocabulary(samples)));
  const cv::Mat similarity = rows * rows.t();
  for (int i = 0; i < rows.rows; ++i) {
    std::vector<int> others(photos.size());
    std::iota(others.begin(), others.end(), 0);
    others.erase(others.begin() + i);
    const auto more_alike = [&](int a, int b) { return similarity.at<float>(i, a) > similarity.at<float>(i, b); };
    const std::size_t kept = std::min(others.size(), std::size_t(count));
    std::partial_sort(others.begin(), others.begin() + std::ptrdiff_t(kept), others.end(), more_alike);
    alike[std::size_t(i)].assign(others.begin(), others.begin() + std::ptrdiff_t(kept));
  }
  return alike;
}

cv::Mat pairs_to_try(const std::vector<Described>& photos, const PhotoMatchOptions& options) {
  const int n = static_cast<int>(photos.size());
  cv::Mat mask = cv::Mat::zeros(n, n, CV_8U);
  const auto add = [&mask](int a, int b) {
    if (a != b) mask.at<uchar>(std::min(a, b), std::max(a, b)) = 1;
  };
  if (n <= options.all_pairs_up_to) {
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) add(i, j);
    return mask;
  }
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j <= std::min(n - 1, i + options.neighbours); ++j) add(i, j);
  const std::vector<std::vector<int>> alike = most_alike(photos, options.shortlist);
  for (int i = 0; i < n; ++i)
    for (int j : alike[std::size_t(i)]) add(i, j);
  return mask;
}

}  // namespace photos
}  // namespace zemb
