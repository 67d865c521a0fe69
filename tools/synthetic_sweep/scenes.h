// Scenes for sweeps that defeat matching by appearance: textures whose parts
// have twins (a sprite repeated over a ground, a tiled pattern), and photos
// made soft (bokeh, haze). Each scales its pattern with the size asked for,
// so a sweep made at twice the frame size sees the same scene.
#ifndef ZEMB_SCENES_H
#define ZEMB_SCENES_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

enum class Texture {
  moss,     // a few star-shaped plants repeated on a jittered grid over dark green
  gravel,   // a few stone shapes in a few shades, on a jittered grid
  foliage,  // a square of a photo's leaves, tiled mirrored
  brick,    // bricks in courses, each its own shade, mortar between
  facade,   // the same window every 130 px across and 170 px down (at 2160 columns)
};

// "moss", "gravel", "foliage", "brick", "facade".
const char* texture_name(Texture texture);
std::vector<Texture> all_textures();

// A texture of `size` (CV_8UC3). `photo` gives foliage its leaves (its
// centre square); the others ignore it.
cv::Mat repeating_texture(Texture texture, cv::Size size, const cv::Mat& photo);

// The photo as seen through a lens focused far in front of it: wide blur,
// with the bright spots spread into discs.
cv::Mat bokeh(const cv::Mat& photo);

// The photo behind haze: contrast a third of its own, lifted toward white.
cv::Mat hazy(const cv::Mat& photo);

}  // namespace zemb_tools

#endif  // ZEMB_SCENES_H
