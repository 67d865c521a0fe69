#include <cmath>
#include <random>

#include "fixed/settings.h"
#include "fixed/seam_repair.h"
#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point2f>;

const cv::Vec3b kOld(10, 20, 30);
const cv::Vec3b kNew(200, 100, 50);

cv::Mat filled(int rows, int cols, cv::Vec3b colour) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(colour)); }

// The box from (0, top_edge) to (40, 40): a pixel closer than 10 to an edge
// line keeps the old content. A vertical edge is the line of slope 10000.
TEST(OptimizeSeam, BandIsStrictlyNarrowerThanTen) {
  const struct {
    float top_edge;
    int row, col;
    cv::Vec3b expected;
  } cases[] = {
      {10.0f, 19, 20, kOld}, {10.0f, 20, 20, kNew}, {10.5f, 20, 20, kOld}, {10.5f, 21, 20, kNew},
      {10.0f, 30, 20, kNew}, {10.0f, 31, 20, kOld}, {10.0f, 20, 9, kOld},  {10.0f, 20, 11, kNew},
  };
  for (const auto& c : cases) {
    cv::Mat old_canvas = filled(40, 40, kOld), canvas = filled(40, 40, kNew);
    Outline corners = {{0, c.top_edge}, {40, c.top_edge}, {40, 40}, {0, 40}};
    OptimizeSeam(old_canvas, canvas, corners);
    EXPECT_EQ(canvas.at<cv::Vec3b>(c.row, c.col), c.expected) << c.top_edge << " " << c.row << " " << c.col;
  }
}

TEST(OptimizeSeam, EmptyPixelsDecideFirst) {
  cv::Mat old_canvas = filled(100, 100, kOld), canvas = filled(100, 100, kNew);
  old_canvas.at<cv::Vec3b>(5, 5) = cv::Vec3b(0, 0, 0);    // old empty, on an edge line
  canvas.at<cv::Vec3b>(50, 50) = cv::Vec3b(0, 0, 0);      // new empty, far from every edge
  old_canvas.at<cv::Vec3b>(60, 60) = cv::Vec3b(0, 0, 1);  // an almost-black old pixel is content
  canvas.at<cv::Vec3b>(60, 60) = cv::Vec3b(0, 0, 0);
  Outline corners = {{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  OptimizeSeam(old_canvas, canvas, corners);
  EXPECT_EQ(canvas.at<cv::Vec3b>(5, 5), kNew);
  EXPECT_EQ(canvas.at<cv::Vec3b>(50, 50), kOld);
  EXPECT_EQ(canvas.at<cv::Vec3b>(60, 60), cv::Vec3b(0, 0, 1));
  EXPECT_EQ(canvas.at<cv::Vec3b>(50, 30), kNew);
  EXPECT_EQ(canvas.at<cv::Vec3b>(99, 50), kOld) << "last row of a box whose end is 100";
}

// Boxes beyond either image, fewer than four corners and non-finite corners
// must neither crash nor write outside.
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

// The per-pixel rule written out plainly, against the row-parallel repair.
void literal_seam(const cv::Mat& old_canvas, cv::Mat& canvas, const Outline& q) {
  const int x0 = int(min_axis({q[0].x, q[1].x, q[2].x, q[3].x})), x1 = int(max_axis({q[0].x, q[1].x, q[2].x, q[3].x}));
  const int y0 = int(min_axis({q[0].y, q[1].y, q[2].y, q[3].y})), y1 = int(max_axis({q[0].y, q[1].y, q[2].y, q[3].y}));
  LinePara lines[4];
  for (int e = 0; e < 4; ++e) getLinePara(q[e].x, q[e].y, q[(e + 1) % 4].x, q[(e + 1) % 4].y, lines[e]);
  const cv::Vec3b empty(0, 0, 0);
  for (int i = y0; i < y1; ++i)
    for (int j = x0; j < x1; ++j) {
      const cv::Vec3b old_pixel = old_canvas.at<cv::Vec3b>(i, j);
      cv::Vec3b& pixel = canvas.at<cv::Vec3b>(i, j);
      bool near_edge = false;
      for (const LinePara& l : lines)
        near_edge = near_edge || point_2_line(l.k, l.b, std::sqrt(l.k * l.k + 1.0f), float(j), float(i)) < 10;
      if (old_pixel != empty && (pixel == empty || near_edge)) pixel = old_pixel;
    }
}

// Random outlines, and edges that stress the rounding: horizontal and
// vertical edges, fractional boxes, repeated corners, nearly horizontal and
// nearly vertical edges, negative slopes. Also in the form the stitcher uses:
// the new pixels chosen onto the old ones.
TEST(OptimizeSeam, MatchesThePlainRuleBitForBit) {
  std::vector<Outline> outlines = {
      {{100, 50}, {190, 50}, {190, 190}, {100, 190}},
      {{12.9f, 20}, {180.7f, 20}, {180.7f, 100}, {12.9f, 100}},
      {{10, 10}, {10, 10}, {190, 190}, {10, 190}},
      {{0, 50.00001f}, {199, 50.0f}, {199, 150.0001f}, {0, 150}},
      {{100.0001f, 0}, {100, 199}, {30, 199}, {30.5f, 0}},
      {{5.5f, 190.25f}, {190.75f, 3.125f}, {199, 199}, {0.1f, 199}},
      {{0, 0}, {199, 0.001f}, {198.999f, 199}, {0.0001f, 198}},
  };
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(0.0f, 199.0f);
  for (int trial = 0; trial < 40; ++trial) {
    Outline q;
    for (int c = 0; c < 4; ++c) q.emplace_back(coordinate(random), coordinate(random));
    outlines.push_back(q);
  }
  for (size_t trial = 0; trial < outlines.size(); ++trial) {
    const Outline& q = outlines[trial];
    cv::Mat old_canvas(200, 200, CV_8UC3), canvas(200, 200, CV_8UC3);
    cv::randu(old_canvas, cv::Scalar::all(0), cv::Scalar::all(2));
    cv::randu(canvas, cv::Scalar::all(0), cv::Scalar::all(2));
    cv::Mat expected = canvas.clone(), whole = canvas.clone(), laid = old_canvas.clone();
    literal_seam(old_canvas, expected, q);
    Outline corners = q;
    OptimizeSeam(old_canvas, whole, corners);
    EXPECT_EQ(cv::norm(expected, whole, cv::NORM_INF), 0.0) << trial;
    const cv::Rect box = zemb::seam_box(q, cv::Rect(0, 0, 200, 200));
    zemb::apply_seam_rule(laid(box), canvas(box), laid(box), q, box, zemb::kFixedPath.placement.seam_band);
    EXPECT_EQ(cv::norm(expected(box), laid(box), cv::NORM_INF), 0.0) << trial;
  }
}

}  // namespace
