// A finished panorama rendered tile by tile (zemb::render_tiled), written
// through libvips as a DeepZoom image pyramid, and as one flat image too
// when it is small enough to open as one.
#ifndef ZEMB_PYRAMID_H
#define ZEMB_PYRAMID_H

#include <memory>
#include <string>
#include <vector>

#include "zemb/render.h"

namespace zemb {

// Writes FOLDER/NAME.dzi and its tiles FOLDER/NAME_files/ (JPEG, 254 pixels
// with a pixel of overlap, DeepZoom's usual layout), and FOLDER/NAME.png
// when the panorama holds at most `flat_max_megapixels`. The tiles wait in
// a temporary file (in the system's temporary folder, or TMPDIR) until the
// last one, each written where its pixels lie, so the writer holds no more
// than a tile until end(), when libvips cuts the pyramid from the file (a
// few hundred rows of the panorama at a time: about 2.2 kB a column). The
// file has no name from the start, so it is gone when the writer ends,
// however it ends. A failure to write, or a NAME_files folder already
// there, throws cv::Exception (StsError) naming the path; tiles outside the
// panorama, written twice, or missing at end(): StsBadArg.
class PyramidWriter : public PanoramaSink {
 public:
  PyramidWriter(std::string folder, std::string name, double flat_max_megapixels);
  ~PyramidWriter() override;
  PyramidWriter(const PyramidWriter&) = delete;
  PyramidWriter& operator=(const PyramidWriter&) = delete;

  void begin(cv::Size size) override;
  void write(const cv::Rect& area, const cv::Mat& tile) override;
  void end() override;

  // The paths written by end(): the .dzi, then the flat image when there is one.
  const std::vector<std::string>& written() const { return written_; }

 private:
  struct Staging;
  std::string folder_, name_;
  double flat_max_megapixels_;
  std::unique_ptr<Staging> staging_;
  std::vector<std::string> written_;
};

}  // namespace zemb

#endif  // ZEMB_PYRAMID_H
