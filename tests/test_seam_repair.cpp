#include <cmath>
#include <random>

#include "seam_repair.h"
#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point2f>;

const cv::Vec3b kOld(10, 20, 30);
const cv::Vec3b kNew(200, 100, 50);

cv::Mat filled(int rows, int cols, cv::Vec3b colour) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(colour)); }

TEST(LineParameters, HorizontalVerticalAndSlanted) {
  LinePara line{};
  getLinePara(0, 50, 300, 50, line);
  EXPECT_EQ(line.k, 0.0f);
  EXPECT_EQ(line.b, 50.0f);
  getLinePara(100, 0, 100, 300, line);
  EXPECT_EQ(line.k, 10000.0f);
  EXPECT_EQ(line.b, 0.0f - 10000.0f * 100.0f);
  getLinePara(0, 0, 10, 5, line);
  EXPECT_EQ(line.k, 0.5f);
  EXPECT_FLOAT_EQ(point_2_line(0.5f, 0.0f, std::sqrt(1.25f), 0.0f, 5.0f), 5.0f / std::sqrt(1.25f));
  EXPECT_EQ(point_2_line(0.0f, 50.0f, 1.0f, 7.0f, 40.0f), 10.0f);
}

// A horizontal top edge; column 20 is at least 20 from the side edges.
cv::Vec3b pixel_after_flat_repair(float top_edge, int row) {
  cv::Mat old_canvas = filled(40, 40, kOld), canvas = filled(40, 40, kNew);
  Outline corners = {{0, top_edge}, {40, top_edge}, {40, 40}, {0, 40}};
  OptimizeSeam(old_canvas, canvas, corners);
  return canvas.at<cv::Vec3b>(row, 20);
}

TEST(OptimizeSeam, DistanceTenKeepsTheNewPixelAndNineAndAHalfDoesNot) {
  EXPECT_EQ(pixel_after_flat_repair(10.0f, 19), kOld);  // 9 from the top edge
  EXPECT_EQ(pixel_after_flat_repair(10.0f, 20), kNew);  // exactly 10
  EXPECT_EQ(pixel_after_flat_repair(10.5f, 20), kOld);  // 9.5
  EXPECT_EQ(pixel_after_flat_repair(10.5f, 21), kNew);  // 10.5
  EXPECT_EQ(pixel_after_flat_repair(10.0f, 30), kNew);  // exactly 10 from the bottom edge
  EXPECT_EQ(pixel_after_flat_repair(10.0f, 31), kOld);
}

TEST(OptimizeSeam, EmptyPixelsDecideFirst) {
  cv::Mat old_canvas = filled(100, 100, kOld), canvas = filled(100, 100, kNew);
  old_canvas.at<cv::Vec3b>(5, 5) = cv::Vec3b(0, 0, 0);     // old empty, on an edge line
  canvas.at<cv::Vec3b>(50, 50) = cv::Vec3b(0, 0, 0);       // new empty, far from every edge
  old_canvas.at<cv::Vec3b>(60, 60) = cv::Vec3b(0, 0, 1);   // an almost-black old pixel is content
  canvas.at<cv::Vec3b>(60, 60) = cv::Vec3b(0, 0, 0);
  Outline corners = {{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  OptimizeSeam(old_canvas, canvas, corners);
  EXPECT_EQ(canvas.at<cv::Vec3b>(5, 5), kNew);
  EXPECT_EQ(canvas.at<cv::Vec3b>(50, 50), kOld);
  EXPECT_EQ(canvas.at<cv::Vec3b>(60, 60), cv::Vec3b(0, 0, 1));
  EXPECT_EQ(canvas.at<cv::Vec3b>(99, 50), kOld) << "last row of a box whose end is 100";
}

TEST(OptimizeSeam, SameImageTwiceChangesNothing) {
  cv::Mat image(80, 90, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(3));
  const cv::Mat before = image.clone();
  Outline corners = {{3, 4}, {80, 2}, {85, 70}, {1, 75}};
  OptimizeSeam(image, image, corners);
  EXPECT_EQ(cv::norm(before, image, cv::NORM_INF), 0.0);
}

// Callers outside the limits: boxes beyond either image, fewer than four
// corners and non-finite corners must neither crash nor write outside.
TEST(OptimizeSeam, StaysInsideBothImagesForAnyCorners) {
  cv::Mat old_canvas = filled(50, 60, kOld), canvas = filled(40, 70, kNew);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  const Outline cases[] = {{{-30, -30}, {500, -30}, {500, 500}, {-30, 500}},
                           {{0, 0}, {10, 0}, {10, 10}},
                           {{nan, 0}, {10, 0}, {10, 10}, {0, 10}},
                           {{-inf, -inf}, {inf, 0}, {inf, inf}, {0, inf}},
                           {{1e30f, 1e30f}, {-1e30f, 0}, {0, 0}, {0, 1e30f}}};
  for (Outline corners : cases) EXPECT_NO_THROW(OptimizeSeam(old_canvas, canvas, corners));
  cv::Mat gray(10, 10, CV_8UC1, cv::Scalar(0));
  Outline corners = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
  EXPECT_THROW(OptimizeSeam(gray, gray, corners), cv::Exception);
}

// The plain per-pixel rule, written out, against the row-parallel repair on
// random content and random outlines, also in the form the stitcher uses:
// the new pixels chosen onto the old ones.
void literal_seam(const cv::Mat& old_canvas, cv::Mat& canvas, const Outline& q) {
  const int x0 = int(min_axis({q[0].x, q[1].x, q[2].x, q[3].x})), x1 = int(max_axis({q[0].x, q[1].x, q[2].x, q[3].x}));
  const int y0 = int(min_axis({q[0].y, q[1].y, q[2].y, q[3].y})), y1 = int(max_axis({q[0].y, q[1].y, q[2].y, q[3].y}));
  LinePara lines[4];
  float norms[4];
  for (int e = 0; e < 4; ++e) {
    getLinePara(q[e].x, q[e].y, q[(e + 1) % 4].x, q[(e + 1) % 4].y, lines[e]);
    norms[e] = std::sqrt(lines[e].k * lines[e].k + 1.0f);
  }
  const cv::Vec3b empty(0, 0, 0);
  for (int i = y0; i < y1; ++i)
    for (int j = x0; j < x1; ++j) {
      const cv::Vec3b old_pixel = old_canvas.at<cv::Vec3b>(i, j);
      cv::Vec3b& pixel = canvas.at<cv::Vec3b>(i, j);
      if (old_pixel == empty) continue;
      if (pixel == empty) {
        pixel = old_pixel;
        continue;
      }
      for (int e = 0; e < 4; ++e)
        if (point_2_line(lines[e].k, lines[e].b, norms[e], float(j), float(i)) < 10) {
          pixel = old_pixel;
          break;
        }
    }
}

// Random outlines, and edges that stress the rounding: horizontal and
// vertical edges (k = 10000), fractional boxes, repeated corners (steep
// lines), nearly horizontal and nearly vertical edges, negative slopes.
std::vector<Outline> seam_test_outlines() {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(0.0f, 199.0f);
  std::vector<Outline> outlines = {
      {{100, 50}, {190, 50}, {190, 190}, {100, 190}},
      {{12.9f, 20}, {180.7f, 20}, {180.7f, 100}, {12.9f, 100}},
      {{10, 10}, {10, 10}, {190, 190}, {10, 190}},
      {{0, 50.00001f}, {199, 50.0f}, {199, 150.0001f}, {0, 150}},
      {{100.0001f, 0}, {100, 199}, {30, 199}, {30.5f, 0}},
      {{5.5f, 190.25f}, {190.75f, 3.125f}, {199, 199}, {0.1f, 199}},
      {{0, 0}, {199, 0.001f}, {198.999f, 199}, {0.0001f, 198}},
  };
  for (int trial = 0; trial < 40; ++trial) {
    Outline q;
    for (int c = 0; c < 4; ++c) q.emplace_back(coordinate(random), coordinate(random));
    outlines.push_back(q);
  }
  return outlines;
}

TEST(OptimizeSeam, MatchesThePlainRuleBitForBit) {
  int trial = 0;
  for (const Outline& q : seam_test_outlines()) {
    cv::Mat old_canvas(200, 200, CV_8UC3), canvas(200, 200, CV_8UC3);
    cv::randu(old_canvas, cv::Scalar::all(0), cv::Scalar::all(2));
    cv::randu(canvas, cv::Scalar::all(0), cv::Scalar::all(2));
    cv::Mat expected = canvas.clone(), whole = canvas.clone(), laid = old_canvas.clone();
    literal_seam(old_canvas, expected, q);
    Outline corners = q;
    OptimizeSeam(old_canvas, whole, corners);
    EXPECT_EQ(cv::norm(expected, whole, cv::NORM_INF), 0.0) << trial;
    const cv::Rect box = zemb::seam_box(q, cv::Rect(0, 0, 200, 200));
    zemb::apply_seam_rule(laid(box), canvas(box), laid(box), q, box);
    EXPECT_EQ(cv::norm(expected(box), laid(box), cv::NORM_INF), 0.0) << trial;
    ++trial;
  }
}

}  // namespace
