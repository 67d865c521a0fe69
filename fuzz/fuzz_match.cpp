// single_match and double_match on arbitrary descriptor sets: any row count
// (none included), widths and types that fit or do not, NaN and infinite
// values, any ratio. Sets of one type (CV_32F or CV_8U) and one width must
// match without throwing; anything else may only throw cv::Exception.
// Records are appended after what the list held, point at real rows, and
// double_match starts with exactly single_match's records and adds each
// remaining pair once.
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_check.h"
#include "zemb_stitcher.h"

namespace {

using Matches = std::vector<cv::DMatch>;

const cv::DMatch kEarlierRecord(7, 7, 7, 7.0f);

cv::Mat read_descriptors(zemb_fuzz::ByteReader& input) {
  static const int kTypes[] = {CV_32F, CV_8U, CV_32F, CV_8U, CV_64F, CV_16S, CV_32FC2, CV_8S};
  const int type = kTypes[input.byte() % 8];
  const int rows = input.byte() % 13, blocks = input.byte() % 9, cols = blocks * 8 + input.byte() % 3;
  cv::Mat descriptors(rows, cols, type);
  const bool raw_values = input.byte() % 4 == 0;
  cv::RNG random(input.byte());
  uchar* bytes = descriptors.data;
  for (size_t i = 0; i < descriptors.total() * descriptors.elemSize(); ++i)
    bytes[i] = raw_values ? input.byte() : static_cast<uchar>(random.uniform(0, 8));
  if (type == CV_32F && !raw_values) descriptors.convertTo(descriptors, CV_32F, 1.0 / 256.0);
  return descriptors;
}

float read_ratio(zemb_fuzz::ByteReader& input) {
  return input.byte() % 4 == 3 ? input.raw_float() : static_cast<float>(input.in_range(-20, 120)) / 100.0f;
}

// Runs one matching function on a list holding an earlier record; false when
// it threw (which only a misfit pair of sets may do).
template <typename Match>
bool run(Match match, const cv::Mat& a, const cv::Mat& b, float ratio, Matches& out) {
  out.assign(1, kEarlierRecord);
  try {
    match(a, b, out, ratio);
    return true;
  } catch (const cv::Exception&) {
    return false;
  }
}

bool is_earlier_record(const cv::DMatch& record) {
  return record.queryIdx == kEarlierRecord.queryIdx && record.trainIdx == kEarlierRecord.trainIdx &&
         record.imgIdx == kEarlierRecord.imgIdx && record.distance == kEarlierRecord.distance;
}

bool same_record(const cv::DMatch& a, const cv::DMatch& b) {
  return a.queryIdx == b.queryIdx && a.trainIdx == b.trainIdx && a.imgIdx == b.imgIdx &&
         (a.distance == b.distance || (std::isnan(a.distance) && std::isnan(b.distance)));
}

void check_records(const Matches& out, const cv::Mat& a, const cv::Mat& b) {
  FUZZ_CHECK(!out.empty() && is_earlier_record(out.front()));
  std::set<std::pair<int, int>> pairs;
  for (size_t i = 1; i < out.size(); ++i) {
    FUZZ_CHECK(out[i].queryIdx >= 0 && out[i].queryIdx < a.rows);
    FUZZ_CHECK(out[i].trainIdx >= 0 && out[i].trainIdx < b.rows);
    FUZZ_CHECK(pairs.emplace(out[i].queryIdx, out[i].trainIdx).second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zemb_fuzz::ByteReader input(data, size);
  const cv::Mat a = read_descriptors(input), b = read_descriptors(input);
  const float ratio = read_ratio(input);
  const bool sets_fit = a.type() == b.type() && a.cols == b.cols && (a.type() == CV_32F || a.type() == CV_8U);

  Matches single, both;
  const bool single_ran = run(single_match, a, b, ratio, single);
  const bool both_ran = run(double_match, a, b, ratio, both);
  FUZZ_CHECK(single_ran || !sets_fit);
  FUZZ_CHECK(both_ran || !sets_fit);
  if (!single_ran || !both_ran) return 0;

  check_records(single, a, b);
  check_records(both, a, b);
  FUZZ_CHECK(single.size() <= both.size());
  for (size_t i = 1; i < single.size(); ++i) {
    FUZZ_CHECK(single[i].imgIdx == 0);
    FUZZ_CHECK(same_record(single[i], both[i]));
  }
  for (size_t i = single.size(); i < both.size(); ++i) FUZZ_CHECK(both[i].imgIdx == -1);
  // A lone candidate is never distinctive; ratio 1 or more accepts nothing.
  if (b.rows < 2 || ratio >= 1.0f) FUZZ_CHECK(single.size() == 1);
  if (a.rows < 2 || ratio >= 1.0f) FUZZ_CHECK(both.size() == single.size());
  return 0;
}
