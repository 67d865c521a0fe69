#include "scenes.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace zemb_tools {

namespace {

// Pattern sizes below are written for a scene 2160 columns wide.
double unit_of(cv::Size size) { return size.width / 2160.0; }

// A ground of `colour` with a little noise, so that no part of it is blank.
cv::Mat ground(cv::Size size, cv::Scalar colour, double noise, cv::RNG& rng) {
  cv::Mat image(size, CV_8UC3, colour), grain(size, CV_8UC3);
  rng.fill(grain, cv::RNG::NORMAL, 0, noise);
  image += grain;
  return image;
}

// Sprites drawn by `draw(image, centre, variant)` on a grid of `pitch`
// pixels, each moved by up to `jitter` and one of `variants` kinds.
template <class Draw>
void scatter(cv::Mat& image, double pitch, double jitter, int variants, cv::RNG& rng, Draw draw) {
  for (double y = pitch / 2; y < image.rows; y += pitch)
    for (double x = pitch / 2; x < image.cols; x += pitch) {
      const cv::Point centre(cvRound(x + rng.uniform(-jitter, jitter)), cvRound(y + rng.uniform(-jitter, jitter)));
      draw(image, centre, rng.uniform(0, variants));
    }
}

cv::Mat moss(cv::Size size, cv::RNG& rng) {
  const double u = unit_of(size);
  cv::Mat image = ground(size, cv::Scalar(30, 70, 40), 10, rng);
  scatter(image, 40 * u, 8 * u, 4, rng, [u](cv::Mat& m, cv::Point c, int variant) {
    const int arms = 5 + variant, length = cvRound((10 + 2 * variant) * u);
    for (int a = 0; a < arms; ++a) {
      const double angle = 2 * CV_PI * a / arms + variant * 0.3;
      const cv::Point tip(c.x + cvRound(length * std::cos(angle)), c.y + cvRound(length * std::sin(angle)));
      cv::line(m, c, tip, cv::Scalar(60, 150 + 15 * variant, 110), std::max(1, cvRound(2 * u)), cv::LINE_AA);
    }
    cv::circle(m, c, std::max(1, cvRound(2 * u)), cv::Scalar(90, 200, 180), cv::FILLED, cv::LINE_AA);
  });
  return image;
}

cv::Mat gravel(cv::Size size, cv::RNG& rng) {
  const double u = unit_of(size);
  cv::Mat image = ground(size, cv::Scalar(70, 80, 90), 8, rng);
  scatter(image, 36 * u, 6 * u, 3, rng, [u, &rng](cv::Mat& m, cv::Point c, int variant) {
    const cv::Size axes(cvRound((12 + 3 * variant) * u), cvRound((9 + variant) * u));
    const double shade = 110 + 40 * rng.uniform(0, 4);
    cv::ellipse(m, c, axes, 30.0 * variant, 0, 360, cv::Scalar(shade, shade + 5, shade + 12), cv::FILLED,
                cv::LINE_AA);
    cv::ellipse(m, c, axes, 30.0 * variant, 0, 360, cv::Scalar(40, 45, 50), std::max(1, cvRound(1.5 * u)),
                cv::LINE_AA);
  });
  return image;
}

cv::Mat foliage(cv::Size size, const cv::Mat& photo) {
  CV_Assert(!photo.empty());
  const int side = std::min(photo.cols, photo.rows) / 3;
  cv::Mat square;
  cv::resize(photo(cv::Rect((photo.cols - side) / 2, (photo.rows - side) / 2, side, side)), square,
             cv::Size(), 300 * unit_of(size) / side, 300 * unit_of(size) / side, cv::INTER_AREA);
  cv::Mat image;
  cv::copyMakeBorder(square, image, 0, std::max(0, size.height - square.rows), 0,
                     std::max(0, size.width - square.cols), cv::BORDER_REFLECT);
  return image(cv::Rect(cv::Point(), size)).clone();
}

cv::Mat brick(cv::Size size, cv::RNG& rng) {
  const double u = unit_of(size);
  cv::Mat image = ground(size, cv::Scalar(175, 180, 185), 6, rng);
  const double width = 120 * u, height = 40 * u, mortar = 6 * u;
  for (int course = 0; course * height < size.height; ++course)
    for (double x = (course % 2) * -width / 2; x < size.width; x += width) {
      const double shade = rng.uniform(-12.0, 12.0);
      const cv::Rect brick(cvRound(x + mortar / 2), cvRound(course * height + mortar / 2), cvRound(width - mortar),
                           cvRound(height - mortar));
      cv::rectangle(image, brick, cv::Scalar(50 + shade, 70 + shade, 150 + shade), cv::FILLED);
    }
  cv::Mat grain(size, CV_8UC3);
  rng.fill(grain, cv::RNG::NORMAL, 0, 5);
  image += grain;
  return image;
}

// The periodic facade drawn for 2160 columns, scaled to `size`.
cv::Mat facade(cv::Size size) {
  const double u = unit_of(size);
  cv::Mat image;
  cv::resize(periodic_facade(cv::Size(cvRound(size.width / u), cvRound(size.height / u))), image, size, 0, 0,
             u < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  return image;
}

}  // namespace

const char* texture_name(Texture texture) {
  switch (texture) {
    case Texture::moss: return "moss";
    case Texture::gravel: return "gravel";
    case Texture::foliage: return "foliage";
    case Texture::brick: return "brick";
    case Texture::facade: return "facade";
  }
  return "unknown";
}

std::vector<Texture> all_textures() {
  return {Texture::moss, Texture::gravel, Texture::foliage, Texture::brick, Texture::facade};
}

cv::Mat repeating_texture(Texture texture, cv::Size size, const cv::Mat& photo) {
  CV_Assert(size.width > 0 && size.height > 0);
  cv::RNG rng(11);
  cv::Mat image;
  switch (texture) {
    case Texture::moss: image = moss(size, rng); break;
    case Texture::gravel: image = gravel(size, rng); break;
    case Texture::foliage: image = foliage(size, photo); break;
    case Texture::brick: image = brick(size, rng); break;
    case Texture::facade: image = facade(size); break;
  }
  // What a lens does to drawn edges.
  cv::GaussianBlur(image, image, cv::Size(), std::max(0.6, 0.8 * unit_of(size)));
  return image;
}

cv::Mat bokeh(const cv::Mat& photo) {
  const int radius = std::max(2, photo.cols / 300);
  cv::Mat disc = cv::Mat::zeros(2 * radius + 1, 2 * radius + 1, CV_32F);
  cv::circle(disc, cv::Point(radius, radius), radius, cv::Scalar(1), cv::FILLED, cv::LINE_AA);
  disc /= cv::sum(disc)[0];
  cv::Mat out;
  cv::filter2D(photo, out, -1, disc, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
  return out;
}

cv::Mat hazy(const cv::Mat& photo) {
  cv::Mat out;
  photo.convertTo(out, -1, 1.0 / 3, 255 * 0.55);
  return out;
}

}  // namespace zemb_tools
